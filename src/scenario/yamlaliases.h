#pragma once

#include <QString>

#include <optional>
#include <string>

// Anchors and aliases let a few hundred bytes of YAML stand for millions of nodes ("billion
// laughs"): each alias repeats its anchor's whole subtree wherever it is read. A scenario file's
// aliases are bounded before anything converts the document: at most kMaxAliases of them, adding
// at most kMaxAliasedNodes nodes to what the text itself holds. The text's own nodes are bounded
// too (kMaxNodes): each costs the YAML library some hundreds of bytes and some time once
// converted, and a file of a million of them would hold the units up for seconds. Counted in
// one pass over the parser's events, without expanding anything.
namespace YamlAliases {
inline constexpr long long kMaxAliases = 10000;
inline constexpr long long kMaxAliasedNodes = 100000;
// Room for 10,000 timeline events of a full channel list each, and the rest of a scenario.
inline constexpr long long kMaxNodes = 400000;

struct Problem {
    int line = 0; // from 1
    int column = 0;
    QString message;
};

// The first document of `source` within the bounds, or where it crosses them. Text that is no
// YAML is the caller's to refuse (it is read again there).
std::optional<Problem> check(const std::string& source);
} // namespace YamlAliases
