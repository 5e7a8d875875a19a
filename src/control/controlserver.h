#pragma once

#include "controlreply.h"
#include "fault/faultruleset.h"
#include "httpserver.h"
#include "record/trafficlogentry.h"

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QStringList>
#include <QThreadPool>

#include <array>
#include <memory>

class ExpectationMonitor;
class LiveFeed;
struct Scenario;
struct ScenarioError;
class ScenarioSession;
class TrafficLogModel;
class UnitSimulator;

// The control API: a local HTTP server through which a test steers the running unit (profile,
// channels, fault rules) and reads what it received (the log, metrics). JSON in and out;
// errors are {"error": "..."}.
//
// It acts on the unit and its log as the window does: a profile chosen here re-binds exactly as
// the selector does, and a cleared log is the window's log cleared. For a fleet it serves every
// unit, by index or by address; a fault rule added here goes to every unit, and acts on those
// its units= names. A scenario put here plays on the session's units (made anew when it names
// others) as one opened in the window does.
//
// A request is screened as soon as its header block is in, before its body is read: a wrong
// token (401), a Host that is neither a loopback name nor the address the API was reached on
// (421; a web page could otherwise reach it through a name of its own), an Origin other than the
// API's own (403), and a body that is not JSON (415) end the connection with their answer.
class ControlServer : public QObject {
    Q_OBJECT

public:
    // A body of this many bytes or more is refused with 413.
    static constexpr qsizetype kBodyLimitBytes = 64 * 1024;
    // Rules a unit holds at the most: each costs every datagram a look.
    static constexpr qsizetype kMaxFaultRules = 1000;
    // Units listed in one answer at most (and by default); the rest by `from`. A page costs the
    // event loop about 2 ms: a datagram waits no longer behind one.
    static constexpr qsizetype kUnitPageLimit = 200;
    // Units with a row of their own in GET /api/v1/run; the others are summed in one.
    static constexpr qsizetype kRunPictureUnits = 1000;

    // With a non-empty `token`, every request must carry "Authorization: Bearer TOKEN". Unit k
    // of the session has id k; the log holds every unit's lines.
    ControlServer(ScenarioSession& session, TrafficLogModel& log, const QByteArray& token,
                  QObject* parent = nullptr);
    ~ControlServer() override;

    // False, with `error` saying why, when the address and port cannot be had.
    bool listen(const QHostAddress& address, quint16 port, QString* error);
    // "http://ADDRESS:PORT", once listening.
    QString url() const;
    // Whether a scenario put here may make proxy units (by default not: a proxy sends what
    // reaches it on to the address it names, and a caller on loopback needs no token).
    void setProxiesAllowed(bool allowed) { m_proxiesAllowed = allowed; }
    // Where GET /api/v1/expectations looks; none: the API says there are none.
    void setExpectations(ExpectationMonitor* monitor);
    // The transport, for its limits and its connection count.
    HttpServer& http() { return m_http; }

    // What the server answers: method and path, with {name} for a path part.
    struct Route {
        QByteArray method;
        QString path;
    };
    static QList<Route> routes();

private:
    using Handler = ControlReply (ControlServer::*)(const HttpRequest&, const QStringList&);
    struct Binding {
        QByteArray method;
        QString path;
        Handler handler;
    };
    // The routes, by resource (each in the file that serves it).
    static const QList<Binding>& bindings();
    static QList<Binding> unitBindings();
    static QList<Binding> logBindings();
    static QList<Binding> faultBindings();
    static QList<Binding> scenarioBindings();
    static QList<Binding> serviceBindings();
    static QList<Binding> liveBindings();

    std::optional<HttpResponse> screen(const HttpRequest& head, const QHostAddress& local) const;
    bool isOwnHost(QByteArrayView host, const QHostAddress& local) const;
    HttpResponse handle(const HttpRequest& request);
    ControlReply dispatch(const HttpRequest& request);

    // Units (controlunits.cpp)
    ControlReply listUnits(const HttpRequest&, const QStringList&);
    ControlReply getUnit(const HttpRequest&, const QStringList&);
    ControlReply putProfile(const HttpRequest&, const QStringList&);
    ControlReply putChannels(const HttpRequest&, const QStringList&);
    // The unit a path's {id} names (its index, or its address), or nullptr.
    UnitSimulator* findUnit(const QString& id) const;
    static ControlReply noSuchUnit(const QString& id);

    // Log and capture (controllog.cpp)
    ControlReply getLog(const HttpRequest&, const QStringList&);
    ControlReply deleteLog(const HttpRequest&, const QStringList&);
    ControlReply capture(const HttpRequest&, const QStringList&);

    // Fault rules (controlfaults.cpp)
    ControlReply listFaults(const HttpRequest&, const QStringList&);
    ControlReply listUnitFaults(const HttpRequest&, const QStringList&);
    ControlReply addFault(const HttpRequest&, const QStringList&);
    ControlReply removeFaults(const HttpRequest&, const QStringList&);
    ControlReply removeFault(const HttpRequest&, const QStringList&);
    // The rules every unit holds alike; totals() sums their counts.
    FaultRuleSet& faults() const;

    // Who sent what (controlpeers.cpp)
    ControlReply listPeers(const HttpRequest&, const QStringList&);
    ControlReply listUnitPeers(const HttpRequest&, const QStringList&);
    static QList<Binding> peerBindings();

    // What the units received, checked (controlverify.cpp)
    ControlReply verify(const HttpRequest&, const QStringList&);
    ControlReply getExpectations(const HttpRequest&, const QStringList&);
    static QList<Binding> verifyBindings();
    // Per-peer metrics, labelled for at most kMaxLabelledPeers.
    static constexpr qsizetype kMaxLabelledPeers = 100;
    void appendPeerMetrics(QString& out) const;

    // The scenario (controlscenario.cpp)
    ControlReply getScenario(const HttpRequest&, const QStringList&);
    ControlReply putScenario(const HttpRequest&, const QStringList&);
    // What a scenario put here (read off the event loop) comes to, back on it.
    ControlReply playScenario(const std::optional<Scenario>& scenario, const ScenarioError& problem);
    ControlReply getSnapshot(const HttpRequest&, const QStringList&);
    ControlReply startScenario(const HttpRequest&, const QStringList&);
    ControlReply stopScenario(const HttpRequest&, const QStringList&);
    ControlReply restartScenario(const HttpRequest&, const QStringList&);
    QJsonObject scenarioState() const;

    // Whether every unit listens and the scenario plays (controlhealth.cpp)
    ControlReply getHealth(const HttpRequest&, const QStringList&);
    static QList<Binding> healthBindings();

    // The live page, its stream and the run's picture (controllive.cpp)
    ControlReply page(const HttpRequest&, const QStringList&);
    ControlReply pageFile(const HttpRequest&, const QStringList&);
    ControlReply stream(const HttpRequest&, const QStringList&);
    ControlReply getRun(const HttpRequest&, const QStringList&);
    // The page's own files, which a browser fetches without the token.
    static bool isPagePath(const QString& path);

    // Metrics and the API's description (controlmetrics.cpp)
    ControlReply metrics(const HttpRequest&, const QStringList&);
    ControlReply openApi(const HttpRequest&, const QStringList&);
    void count(const TrafficLogEntry& entry);

    const QList<UnitSimulator*>& units() const;

    ScenarioSession& m_session;
    TrafficLogModel& m_log;
    QByteArray m_token;
    ExpectationMonitor* m_expectations = nullptr;
    bool m_proxiesAllowed = false;
    // Datagrams by port (unit, discovery), direction (in, out) and command.
    static constexpr int kCommands = TrafficLogEntry::kCommandCount;
    std::array<std::array<std::array<quint64, kCommands>, 2>, 2> m_datagrams{};
    quint64 m_discoveryHeard = 0;
    // Before the server: the connections let go of their streams before the feed goes.
    std::unique_ptr<LiveFeed> m_feed;
    // Last but one: its connections call the handlers above until they are gone.
    HttpServer m_http;
    // Scenarios put through the API are read here, one at a time; gone first, once the one
    // being read is done.
    QThreadPool m_scenarioReader;
};

// Helpers the resource files share.
namespace control {
// A request's JSON object, or nothing with `error` saying why.
std::optional<QJsonObject> bodyObject(const HttpRequest& request, QString* error);
// A JSON number that is a whole number within [low, high].
std::optional<int> wholeNumber(const QJsonValue& value, int low, int high);
// True for the single unit, which listens on every address of the machine.
bool listensEverywhere(const UnitSimulator& unit);
} // namespace control
