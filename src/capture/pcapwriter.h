#pragma once

#include "capturerecord.h"

#include <QByteArray>
#include <QString>

#include <cstdio>

struct pcap;
struct pcap_dumper;

// A pcap file of IPv4 packets (link type "raw IP"), written with libpcap: to a file as traffic
// happens, or into memory for a download.
class PcapWriter {
public:
    static constexpr quint32 kSnapshotLength = 65535;
    // LINKTYPE_RAW, as the files name raw IPv4 (libpcap's DLT_RAW).
    static constexpr quint32 kLinkTypeRawIpv4 = 101;

    PcapWriter() = default;
    ~PcapWriter();
    PcapWriter(const PcapWriter&) = delete;
    PcapWriter& operator=(const PcapWriter&) = delete;

    // False, with `error` saying why, when the file cannot be made.
    bool open(const QString& path, QString* error);
    bool openInMemory(QString* error);
    bool isOpen() const { return m_dumper != nullptr; }

    void write(const CaptureRecord& record);
    // Hands what was written to the system; false once a write failed (the disk is full, say),
    // with `error` saying why.
    bool flush(QString* error = nullptr);
    // Ends the file. In memory: the whole file's bytes.
    QByteArray close();

private:
    bool start(std::FILE* file, QString* error);

    pcap* m_pcap = nullptr;
    pcap_dumper* m_dumper = nullptr;
    // In memory: the stream's buffer, which the C library grows.
    char* m_memory = nullptr;
    std::size_t m_memorySize = 0;
    bool m_inMemory = false;
    int m_writeError = 0; // errno of the first write that failed
    char m_packet[kIpv4UdpHeaders + 0xFFFF];
};
