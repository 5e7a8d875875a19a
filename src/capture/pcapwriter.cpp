#include "pcapwriter.h"

#include <QFile>

#include <pcap/pcap.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

PcapWriter::~PcapWriter()
{
    close();
}

bool PcapWriter::open(const QString& path, QString* error)
{
    close();
    // A FIFO or a device would hold the run until somebody reads it (opening a FIFO for writing
    // waits for a reader, and so would every write): captures go to regular files. Opened without
    // waiting, then looked at, so that nothing can slip a FIFO in between.
    const int fd =
        ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0666);
    struct stat info {};
    if (fd < 0 || ::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        *error =
            fd < 0 && errno != ENXIO
                ? QString::fromLocal8Bit(std::strerror(errno))
                : QStringLiteral("it is not a regular file (a capture is written to a file, not to a FIFO "
                                 "or a device)");
        if (fd >= 0)
            ::close(fd);
        return false;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    if (::ftruncate(fd, 0) != 0) {
        *error = QString::fromLocal8Bit(std::strerror(errno));
        ::close(fd);
        return false;
    }
    std::FILE* file = ::fdopen(fd, "wb");
    if (!file) {
        *error = QString::fromLocal8Bit(std::strerror(errno));
        ::close(fd);
        return false;
    }
    return start(file, error);
}

bool PcapWriter::openInMemory(QString* error)
{
    close();
    std::FILE* file = ::open_memstream(&m_memory, &m_memorySize);
    if (!file) {
        *error = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    m_inMemory = true;
    return start(file, error);
}

bool PcapWriter::start(std::FILE* file, QString* error)
{
    m_pcap = pcap_open_dead_with_tstamp_precision(DLT_RAW, int(kSnapshotLength), PCAP_TSTAMP_PRECISION_MICRO);
    m_dumper = m_pcap ? pcap_dump_fopen(m_pcap, file) : nullptr;
    if (!m_dumper) {
        *error = m_pcap ? QString::fromLocal8Bit(pcap_geterr(m_pcap)) : QStringLiteral("libpcap failed");
        std::fclose(file);
        close();
        return false;
    }
    return true;
}

void PcapWriter::write(const CaptureRecord& record)
{
    if (!m_dumper)
        return;
    const qsizetype size = buildIpv4Udp(record, m_packet, qsizetype(sizeof m_packet));
    if (size == 0)
        return;
    pcap_pkthdr header{};
    header.ts.tv_sec = time_t(record.timeUs / 1000000);
    header.ts.tv_usec = suseconds_t(record.timeUs % 1000000);
    header.caplen = bpf_u_int32(size);
    header.len = bpf_u_int32(size);
    pcap_dump(reinterpret_cast<u_char*>(m_dumper), &header, reinterpret_cast<const u_char*>(m_packet));
    // The stream may write out its buffer during any packet; keep why the first failure failed.
    if (m_writeError == 0 && std::ferror(pcap_dump_file(m_dumper)))
        m_writeError = errno ? errno : EIO;
}

bool PcapWriter::flush(QString* error)
{
    if (!m_dumper)
        return false;
    errno = 0;
    if (pcap_dump_flush(m_dumper) == 0 && !std::ferror(pcap_dump_file(m_dumper)))
        return true;
    if (m_writeError == 0)
        m_writeError = errno ? errno : EIO;
    if (error)
        *error = QString::fromLocal8Bit(std::strerror(m_writeError));
    return false;
}

QByteArray PcapWriter::close()
{
    if (m_dumper)
        pcap_dump_close(m_dumper); // closes the file too
    m_dumper = nullptr;
    m_writeError = 0;
    if (m_pcap)
        pcap_close(m_pcap);
    m_pcap = nullptr;
    QByteArray bytes;
    if (m_inMemory) {
        bytes = QByteArray(m_memory, qsizetype(m_memorySize));
        std::free(m_memory);
        m_memory = nullptr;
        m_memorySize = 0;
        m_inMemory = false;
    }
    return bytes;
}
