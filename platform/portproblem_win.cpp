#include "portproblem_platform.h"

// Windows opens a COM port for one handle at a time: "access denied" means
// that another program has it open. Access rights to COM ports are not
// restricted per user.
PermissionErrorCause permissionErrorCause(const std::string& /*systemLocation*/)
{
    return PermissionErrorCause::Busy;
}

bool accessRuleApplies()
{
    return false;
}
