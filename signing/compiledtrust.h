#pragma once

// The trust compiled in from the CMake cache (TRENNIC_TRUSTED_KEYS,
// TRENNIC_REVOKED_KEY_IDS), each list closed by a null pointer.
namespace CompiledTrust {
extern const char* const trustedKeys[];
extern const char* const revokedKeyIds[];
} // namespace CompiledTrust
