#pragma once

#include <QByteArray>
#include <QString>

// unitctl verify: asks a running simulator's control API at `api` ("HOST:PORT") whether the units
// received what `matcher` (JSON) describes, and prints the answer: a line for people, with the
// nearest misses when it failed, or the API's JSON. `token`: the API's bearer token, if it has one.
// Returns 0 matched, 1 not matched, 2 a malformed matcher or usage, 4 no answer from the API.
int verifyMatcher(const QString& api, const QByteArray& matcher, const QByteArray& token, bool json,
                  int timeoutMs);
