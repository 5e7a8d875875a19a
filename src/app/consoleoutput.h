#pragma once

#include <QString>

#include <cstdio>

// A line for the person at the terminal (endpoint state, failures), on standard error.
inline void printToStderr(const QString& line)
{
    const QByteArray text = line.toLocal8Bit();
    std::fprintf(stderr, "%s\n", text.constData());
    std::fflush(stderr);
}
