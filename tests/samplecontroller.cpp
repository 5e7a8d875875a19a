// A small controller, as the users of the simulator write them, for the tests: it discovers the
// units, sets their channels once, polls them, backs off from a unit that stops answering and
// sets its channels again when it answers again. Each --habit makes it misbehave in one way.
//
// Usage: sample-controller --discover ADDRESS [--seconds S] [--habit HABIT]
//   HABIT: none (the default), no-resend, poll-too-fast, discovery-storm, no-backoff,
//          skip-units, malformed, hidden-bug
// Prints what it did on standard output when it ends: units=N polls=N replies=N resends=N lost=N.
//
// hidden-bug behaves well except in one situation, which takes two things at once: a unit that
// was silent for a while (a reboot, say) and whose first answer then comes too late (its replies
// delayed past the timeout). The controller then drops the unit for good.
//
// With UNITSIM_TIME_SCALE=X in its environment (as an exploration gives it), it runs X times as
// fast: every interval and timeout divided by X.
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QMap>
#include <QNetworkDatagram>
#include <QSet>
#include <QTimer>
#include <QUdpSocket>

#include <cstdio>

namespace {
constexpr quint16 kDiscoveryPort = 65535;
constexpr int kFrameSize = 29;
constexpr quint8 kSetChannels = 0;
constexpr quint8 kChannelQuery = 50;
constexpr quint8 kStatusQuery = 51;

// A well-behaved controller's pace.
constexpr int kDiscoveryEveryMs = 5000;
constexpr int kPollEveryMs = 250;    // 4 requests a second to each unit
constexpr int kStatusEvery = 5;      // every fifth poll is a status-query
constexpr int kAnswerWithinMs = 150; // later than this, a request counts as unanswered
constexpr int kBackOffAfter = 3;     // unanswered requests in a row
constexpr int kBackedOffEveryMs = 1000;
constexpr int kTickMs = 10;

// The habits' pace.
constexpr int kTooFastEveryMs = 10;   // 100 a second to each unit
constexpr int kStormEveryMs = 100;    // discovery ten times a second
constexpr int kNoBackOffEveryMs = 50; // retries at 20 a second while a unit is silent
// The hidden bug's silence: no reply for this long, then a late one. Longer than a poll and one
// delayed reply take, so that delayed replies alone never make one.
constexpr int kLongSilenceMs = 2400;

struct Unit {
    quint16 port = 0;
    int index = 0; // in the order found
    qint64 nextPollMs = 0;
    qint64 sentMs = -1; // the request waiting for its answer; -1: none
    qint64 lastReplyMs = 0;
    int unanswered = 0;
    int polls = 0;
};

class Controller : public QObject {
public:
    Controller(QHostAddress discoverAt, QString habit, double timeScale)
        : m_discoverAt(std::move(discoverAt))
        , m_habit(std::move(habit))
        , m_timeScale(timeScale)
    {
        m_socket.bind(QHostAddress::AnyIPv4, 0);
        connect(&m_socket, &QUdpSocket::readyRead, this, &Controller::read);
        connect(&m_tick, &QTimer::timeout, this, &Controller::tick);
        m_tick.start(std::max(1, scaled(kTickMs)));
        m_clock.start();
    }

    void report() const
    {
        std::printf("units=%lld polls=%d replies=%d resends=%d lost=%d\n", qlonglong(m_units.size()), m_polls,
                    m_replies, m_resends, m_lost);
        std::fflush(stdout);
    }

private:
    bool habit(const char* name) const { return m_habit == QLatin1String(name); }
    // An interval of the controller's own time in real milliseconds.
    int scaled(int ms) const { return int(ms / m_timeScale); }

    void send(const QHostAddress& address, quint16 port, quint8 command, int size = kFrameSize)
    {
        QByteArray frame(size, '\0');
        frame[1] = char(command);
        if (command == kSetChannels) {
            for (int n = 2; n < std::min(size, 26); ++n)
                frame[n] = char(200);
        }
        m_socket.writeDatagram(frame, address, port);
    }

    void tick()
    {
        const qint64 now = m_clock.elapsed();
        const int discoverEvery = scaled(habit("discovery-storm") ? kStormEveryMs : kDiscoveryEveryMs);
        if (m_lastDiscoveryMs < 0 || now - m_lastDiscoveryMs >= discoverEvery) {
            m_socket.writeDatagram(QByteArrayLiteral("X"), m_discoverAt, kDiscoveryPort);
            m_lastDiscoveryMs = now;
        }
        for (auto it = m_units.begin(); it != m_units.end(); ++it) {
            Unit& unit = it.value();
            const QHostAddress address(it.key());
            if (unit.sentMs >= 0 && now - unit.sentMs > scaled(kAnswerWithinMs)) {
                ++unit.unanswered;
                unit.sentMs = -1;
            }
            if (habit("skip-units") && unit.index % 2 == 1)
                continue;
            const bool silent = unit.unanswered >= kBackOffAfter;
            // Without back-off it does not even wait for the last request to time out.
            const bool waits = !(silent && habit("no-backoff"));
            if (now < unit.nextPollMs || (waits && unit.sentMs >= 0))
                continue;
            int every = habit("poll-too-fast") ? kTooFastEveryMs : kPollEveryMs;
            if (silent)
                every = habit("no-backoff") ? kNoBackOffEveryMs : kBackedOffEveryMs;
            send(address, unit.port, ++unit.polls % kStatusEvery == 0 ? kStatusQuery : kChannelQuery);
            ++m_polls;
            unit.sentMs = now;
            unit.nextPollMs = now + scaled(every);
        }
    }

    void read()
    {
        while (m_socket.hasPendingDatagrams()) {
            const QNetworkDatagram datagram = m_socket.receiveDatagram();
            const quint32 from = datagram.senderAddress().toIPv4Address();
            if (datagram.senderPort() == kDiscoveryPort) {
                found(from, datagram.data());
                continue;
            }
            const auto unit = m_units.find(from);
            if (unit == m_units.end() || datagram.data().size() != kFrameSize)
                continue;
            ++m_replies;
            const qint64 now = m_clock.elapsed();
            const bool late = unit->sentMs < 0; // its request was taken for unanswered already
            const bool longSilence = now - unit->lastReplyMs > scaled(kLongSilenceMs);
            unit->lastReplyMs = now;
            if (habit("hidden-bug") && late && longSilence && unit->unanswered >= kBackOffAfter) {
                // The bug: the late answer is taken for a stranger's, and the unit is gone.
                m_forgotten.insert(from);
                m_units.erase(unit);
                ++m_lost;
                continue;
            }
            // Back after a silence: its channels may be gone (a power cut), so they are set again.
            if (unit->unanswered >= kBackOffAfter && !habit("no-resend")) {
                send(QHostAddress(from), unit->port, kSetChannels);
                ++m_resends;
            }
            unit->unanswered = 0;
            unit->sentMs = -1;
        }
    }

    // A discovery answer: "NAME/PORT/...", from the unit's address.
    void found(quint32 address, const QByteArray& identity)
    {
        const QList<QByteArray> fields = identity.split('/');
        bool ok = false;
        const quint16 port = fields.size() > 1 ? quint16(fields[1].toUInt(&ok)) : 0;
        if (!ok || m_units.contains(address) || m_forgotten.contains(address))
            return;
        Unit unit;
        unit.port = port;
        unit.index = int(m_units.size());
        unit.lastReplyMs = m_clock.elapsed();
        m_units.insert(address, unit);
        send(QHostAddress(address), port, kSetChannels);
        if (habit("malformed"))
            send(QHostAddress(address), port, kChannelQuery, kFrameSize - 1);
    }

    QHostAddress m_discoverAt;
    QString m_habit;
    QUdpSocket m_socket;
    QTimer m_tick;
    QElapsedTimer m_clock;
    qint64 m_lastDiscoveryMs = -1;
    double m_timeScale;
    QMap<quint32, Unit> m_units;
    QSet<quint32> m_forgotten;
    int m_lost = 0;
    int m_polls = 0;
    int m_replies = 0;
    int m_resends = 0;
};
} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    const QCommandLineOption discover(QStringLiteral("discover"), QStringLiteral("Where to send discovery."),
                                      QStringLiteral("ADDRESS"));
    const QCommandLineOption seconds(QStringLiteral("seconds"), QStringLiteral("How long to run."),
                                     QStringLiteral("S"), QStringLiteral("3"));
    const QCommandLineOption habit(QStringLiteral("habit"), QStringLiteral("The bad habit."),
                                   QStringLiteral("HABIT"), QStringLiteral("none"));
    // Not used: it marks the process for the test that looks for what it started (pgrep -f).
    const QCommandLineOption tag(QStringLiteral("tag"), QStringLiteral("A mark of the test's own."),
                                 QStringLiteral("TAG"));
    parser.addOptions({discover, seconds, habit, tag});
    parser.process(app);
    static const QStringList habits{QStringLiteral("none"),          QStringLiteral("no-resend"),
                                    QStringLiteral("poll-too-fast"), QStringLiteral("discovery-storm"),
                                    QStringLiteral("no-backoff"),    QStringLiteral("skip-units"),
                                    QStringLiteral("malformed"),     QStringLiteral("hidden-bug")};
    const QHostAddress target(parser.value(discover));
    bool ok = false;
    const double runSeconds = parser.value(seconds).toDouble(&ok);
    if (target.isNull() || !ok || runSeconds <= 0 || runSeconds > 600 ||
        !habits.contains(parser.value(habit))) {
        std::fprintf(stderr, "sample-controller: --discover ADDRESS [--seconds S (0 to 600)] [--habit %s]\n",
                     qPrintable(habits.join(u'|')));
        return 2;
    }
    bool scaleOk = true;
    const QByteArray scaleText = qgetenv("UNITSIM_TIME_SCALE");
    const double timeScale = scaleText.isEmpty() ? 1.0 : scaleText.toDouble(&scaleOk);
    if (!scaleOk || timeScale < 0.01 || timeScale > 1000) {
        std::fprintf(stderr, "sample-controller: UNITSIM_TIME_SCALE must be from 0.01 to 1000\n");
        return 2;
    }
    Controller controller(target, parser.value(habit), timeScale);
    QTimer::singleShot(int(runSeconds * 1000), &app, &QCoreApplication::quit);
    const int status = app.exec();
    controller.report();
    return status;
}
