#include "korvoenums.h"

korvoEnums::korvoEnums(QObject* parent) : QObject(parent) {}
