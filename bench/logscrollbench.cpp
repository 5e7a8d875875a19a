// The window's log with millions of lines kept in its store: how fast lines go in, what a line
// takes on disk, and every frame of the list while it is scrolled from the newest line to the
// oldest, as a user drags the scroll bar and then pages through the cold end.
// Usage: logscroll-bench [LINES]   (default 10,000,000; offscreen unless QT_QPA_PLATFORM says)
#include "benchsupport.h"
#include "log/trafficlogmodel.h"
#include "ui/loglistview.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QScrollBar>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {
// A controller's traffic to 1,000 units: queries and their replies, and set-channels fading.
TrafficLogEntry lineNumber(long n)
{
    const quint32 controller = 0x7f000001u;
    const quint16 controllerPort = quint16(40000 + n % 7);
    if (n % 5 == 4) {
        UnitFrame frame{};
        for (int k = 2; k < 26; ++k)
            frame[std::size_t(k)] = quint8(n / 5000 + k * 10);
        return TrafficLogEntry::unitIncoming(controller, controllerPort, 4000,
                                             QByteArrayView(reinterpret_cast<const char*>(frame.data()), 29),
                                             0);
    }
    UnitFrame frame{};
    frame[1] = 50;
    if (n % 2 == 0)
        return TrafficLogEntry::unitIncoming(controller, controllerPort, 4000,
                                             QByteArrayView(reinterpret_cast<const char*>(frame.data()), 29),
                                             0);
    frame[0] = 254;
    frame[28] = 255;
    return TrafficLogEntry::unitOutgoing(controller, controllerPort, frame, 0, 4000);
}

double percentileOf(std::vector<double> values, double p)
{
    std::sort(values.begin(), values.end());
    return values.empty()
               ? -1
               : values[std::min(values.size() - 1, std::size_t(p * double(values.size() - 1) + 0.5))];
}
} // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM",
            qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    QApplication app(argc, argv);
    const long lines = argc > 1 ? std::clamp(std::atol(argv[1]), 10000L, 100'000'000L) : 10'000'000L;
    QTemporaryDir directory;
    QString error;
    TrafficLogModel model;
    model.setPublishInterval(16);
    model.setStore(LogStore::open({directory.filePath(QStringLiteral("store")), 0, {}}, &error));
    if (!model.store()) {
        std::fprintf(stderr, "logscroll-bench: %s\n", qPrintable(error));
        return 1;
    }
    LogListView view;
    view.setModel(&model);
    view.resize(782, 329);
    view.show();
    QCoreApplication::processEvents();

    const long before = residentBytes();
    QElapsedTimer timer;
    timer.start();
    for (long n = 0; n < lines; ++n) {
        model.append(lineNumber(n));
        if (n % 20000 == 0)
            QCoreApplication::processEvents(); // as the event loop would between bursts
    }
    model.store()->waitUntilWritten();
    model.publishPending();
    QCoreApplication::processEvents();
    const double appendSeconds = double(timer.nsecsElapsed()) / 1e9;
    const long after = residentBytes();

    // Frames: the thumb dragged from top to bottom in 2,000 steps, then 2,000 pages down from the
    // oldest line's neighbourhood (the coldest part of the store).
    QScrollBar* bar = view.verticalScrollBar();
    std::vector<double> frames;
    auto frameAt = [&](int value) {
        QElapsedTimer frame;
        frame.start();
        bar->setValue(value);
        view.viewport()->repaint();
        frames.push_back(double(frame.nsecsElapsed()) / 1e6);
    };
    constexpr int kDragSteps = 2000;
    for (int step = 0; step <= kDragSteps; ++step)
        frameAt(int(qint64(bar->maximum()) * step / kDragSteps));
    const int coldStart = std::max(0, bar->maximum() - 2000 * bar->pageStep());
    for (int value = coldStart; value <= bar->maximum(); value += bar->pageStep())
        frameAt(value);
    const bool reachedOldest =
        view.indexAt(QPoint(1, view.viewport()->height() - 2)).row() == model.rowCount() - 1 ||
        bar->value() == bar->maximum();

    // What Save Log does: every line as text, newest first, to a file.
    QElapsedTimer saving;
    saving.start();
    {
        QFile file(directory.filePath(QStringLiteral("saved.txt")));
        if (file.open(QIODevice::WriteOnly)) {
            QByteArray piece;
            for (int row = 0; row < model.rowCount(); ++row) {
                piece += model.lineAt(row).toUtf8();
                piece += '\n';
                if (piece.size() >= 1024 * 1024) {
                    file.write(piece);
                    piece.clear();
                }
            }
            file.write(piece);
        }
    }
    const double saveSeconds = double(saving.nsecsElapsed()) / 1e9;

    std::printf("lines=%ld\n", long(model.lineCount()));
    std::printf("save_all_lines_s=%.1f\n", saveSeconds);
    std::printf("append_lines_per_s=%.0f\n", double(lines) / appendSeconds);
    std::printf("store_bytes_per_line=%.1f\n", double(model.store()->bytesOnDisk()) / double(lines));
    std::printf("resident_growth_mib=%.1f\n", double(after - before) / 1048576.0);
    std::printf("frames=%zu\n", frames.size());
    std::printf("frame_median_ms=%.2f\n", percentileOf(frames, 0.5));
    std::printf("frame_p99_ms=%.2f\n", percentileOf(frames, 0.99));
    std::printf("frame_max_ms=%.2f\n", percentileOf(frames, 1.0));
    std::printf("reached_oldest=%d\n", reachedOldest ? 1 : 0);
    std::printf("store_failure=%s\n",
                model.store()->failure().isEmpty() ? "none" : qPrintable(model.store()->failure()));
    return 0;
}
