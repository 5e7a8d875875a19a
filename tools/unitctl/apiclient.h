#pragma once

#include <QByteArray>
#include <QString>

// The unitctl commands that ask a running simulator's control API at `api` ("HOST:PORT").
// `token`: the API's bearer token, if it has one.

// unitctl verify: whether the units received what `matcher` (JSON) describes; prints the answer:
// a line for people, with the nearest misses when it failed, or the API's JSON. Returns 0 matched,
// 1 not matched, 2 a malformed matcher or usage, 4 no answer from the API.
int verifyMatcher(const QString& api, const QByteArray& matcher, const QByteArray& token, bool json,
                  int timeoutMs);

// unitctl health: whether the simulator is ready (every unit listening, the scenario running);
// prints "ready: N units" or why not (or the API's JSON). Returns 0 ready, 1 not ready, 2 usage
// or an answer that is not the API's, 4 no answer. For container health checks and scripts.
int checkHealth(const QString& api, const QByteArray& token, bool json, int timeoutMs);
