#pragma once

#include <QString>
#include <QtGlobal>

// Prints the lines of a traffic log stored on disk (by a run with --log-dir, or one that was
// killed), oldest first, from line `since` on: as the window shows them, or with `json` one JSON
// object a line, as the control API gives them. What cannot be read (the end of a block a kill
// cut short) is said on standard error. Returns 0, or 2 when there is no store to read.
int printStoredLog(const QString& directory, quint64 since, bool json);
