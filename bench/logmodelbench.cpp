// The traffic log under a million rows, with the window's list view attached:
// memory per row, cost of adding rows at 0 and at 1,000,000 rows, and the cost of clearing.
#include "benchsupport.h"
#include "log/trafficlogmodel.h"
#include "ui/loglistview.h"

#include <QApplication>
#include <QElapsedTimer>

#include <cstdio>

namespace {
// Adds `count` unit lines as the datagram path does, and lets the view take them in.
double addRows(TrafficLogModel& model, int count)
{
    QElapsedTimer timer;
    timer.start();
    const QByteArray request(29, char(50));
    for (int i = 0; i < count; ++i)
        model.append(TrafficLogEntry::unitIncoming(0x7f000001u, 50000, 4000, request, 0));
    model.publishPending();
    QCoreApplication::processEvents();
    return double(timer.nsecsElapsed()) / 1e6;
}
} // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM",
            qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    QApplication app(argc, argv);
    TrafficLogModel model;
    model.setPublishInterval(16);
    LogListView view;
    view.setModel(&model);
    view.resize(782, 329);
    if (qEnvironmentVariableIsEmpty("NOVIEW"))
        view.show();
    QCoreApplication::processEvents();

    constexpr int kRows = 1000000;
    constexpr int kBatch = 100000;
    const long before = residentBytes();
    const double firstBatchMs = addRows(model, kBatch);
    addRows(model, kRows - kBatch);
    const long after = residentBytes();
    const double bytesPerRow = double(after - before) / kRows;
    const double lastBatchMs = addRows(model, kBatch);

    QElapsedTimer timer;
    timer.start();
    model.clear();
    QCoreApplication::processEvents();
    const double clearMs = double(timer.nsecsElapsed()) / 1e6;

    std::printf("log_bytes_per_row=%.1f\n", bytesPerRow);
    std::printf("log_add_100k_at_0_ms=%.2f\n", firstBatchMs);
    std::printf("log_add_100k_at_1M_ms=%.2f\n", lastBatchMs);
    std::printf("log_add_ratio=%.3f\n", lastBatchMs / firstBatchMs);
    std::printf("log_clear_1M_ms=%.2f\n", clearMs);
    return 0;
}
