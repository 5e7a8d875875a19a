#include "yamlaliases.h"

#include <yaml-cpp/eventhandler.h>
#include <yaml-cpp/yaml.h>

#include <sstream>
#include <unordered_map>
#include <vector>

namespace {
// Thrown to stop reading at the first bound crossed: the rest of a huge document is not scanned.
struct Stop {};

// Adds up what the document would be with every alias expanded: each node counts once, each alias
// as many nodes as its anchor's subtree (itself expanded). Stops at the first bound crossed.
class Counter : public YAML::EventHandler {
public:
    std::optional<YamlAliases::Problem> problem;

    void OnDocumentStart(const YAML::Mark&) override {}
    void OnDocumentEnd() override {}
    void OnNull(const YAML::Mark& at, YAML::anchor_t anchor) override { leaf(at, anchor); }
    void OnScalar(const YAML::Mark& at, const std::string&, YAML::anchor_t anchor,
                  const std::string&) override
    {
        leaf(at, anchor);
    }
    void OnAlias(const YAML::Mark& at, YAML::anchor_t anchor) override
    {
        if (problem)
            return;
        const auto found = m_sizes.find(anchor);
        const long long size = found == m_sizes.end() ? 1 : found->second;
        m_aliasedNodes += size;
        if (++m_aliases > YamlAliases::kMaxAliases)
            return refuse(at, QStringLiteral("more than %1 aliases (*name)").arg(YamlAliases::kMaxAliases));
        if (m_aliasedNodes > YamlAliases::kMaxAliasedNodes)
            return refuse(at, QStringLiteral("aliases (*name) would repeat more than %1 nodes of the "
                                             "document; a scenario may repeat at most that much")
                                  .arg(YamlAliases::kMaxAliasedNodes));
        add(size);
    }
    void OnSequenceStart(const YAML::Mark& at, const std::string&, YAML::anchor_t anchor,
                         YAML::EmitterStyle::value) override
    {
        countNode(at);
        m_open.push_back({anchor, 1});
    }
    void OnSequenceEnd() override { close(); }
    void OnMapStart(const YAML::Mark& at, const std::string&, YAML::anchor_t anchor,
                    YAML::EmitterStyle::value) override
    {
        countNode(at);
        m_open.push_back({anchor, 1});
    }
    void OnMapEnd() override { close(); }

private:
    struct Open {
        YAML::anchor_t anchor;
        long long size; // expanded, so far; bounded by the aliases' bound and the text
    };
    void countNode(const YAML::Mark& at)
    {
        if (++m_nodes > YamlAliases::kMaxNodes)
            refuse(at,
                   QStringLiteral("more than %1 values (keys, numbers, lists, ...); a scenario holds at most "
                                  "that many, room for about 10,000 events")
                       .arg(YamlAliases::kMaxNodes));
    }
    void leaf(const YAML::Mark& at, YAML::anchor_t anchor)
    {
        countNode(at);
        if (anchor != YAML::NullAnchor)
            m_sizes[anchor] = 1;
        add(1);
    }
    void add(long long size)
    {
        if (!m_open.empty())
            m_open.back().size += size;
    }
    void close()
    {
        if (m_open.empty())
            return;
        const Open done = m_open.back();
        m_open.pop_back();
        if (done.anchor != YAML::NullAnchor)
            m_sizes[done.anchor] = done.size;
        add(done.size);
    }
    void refuse(const YAML::Mark& at, const QString& message)
    {
        problem = YamlAliases::Problem{at.line + 1, at.column + 1, message};
        throw Stop{};
    }

    std::vector<Open> m_open;
    std::unordered_map<YAML::anchor_t, long long> m_sizes;
    long long m_aliases = 0;
    long long m_aliasedNodes = 0;
    long long m_nodes = 0;
};
} // namespace

namespace YamlAliases {
std::optional<Problem> check(const std::string& source)
{
    std::istringstream stream(source);
    YAML::Parser parser(stream);
    Counter counter;
    try {
        parser.HandleNextDocument(counter);
    } catch (const Stop&) {
        // counter.problem says where
    } catch (const YAML::Exception&) {
        return std::nullopt; // not YAML: said where it is read
    }
    return counter.problem;
}
} // namespace YamlAliases
