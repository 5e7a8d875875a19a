#pragma once

#include <QString>

// Raises this process's limit of open files to what the system allows, when it is below `needed`.
// False, with `error` saying what the limit is, when it cannot be raised that far.
bool raiseOpenFileLimit(quint64 needed, QString* error);
