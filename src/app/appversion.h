#pragma once

#include "config-unitsim.h"

#include <QString>

// The application's version, from the project's version.
inline constexpr int kVersionMajor = UNITSIM_VERSION_MAJOR;
inline constexpr int kVersionMinor = UNITSIM_VERSION_MINOR;
inline constexpr int kVersionBug = UNITSIM_VERSION_PATCH;

inline QString versionText(int major = kVersionMajor, int minor = kVersionMinor, int bug = kVersionBug)
{
    return QString::number(major) + QLatin1Char('.') + QString::number(minor) + QLatin1Char('.') +
           QString::number(bug);
}
