// SPDX-License-Identifier: GPL-2.0-or-later
// The memory commands: memrd (hex listing), memwrs (a string into the key),
// memrdf (a range into a file) and memwrf (a file into the key).

#include "HexListing.h"
#include "Operands.h"
#include "TimeHlp.h"
#include "Tool.h"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// What memrd can show: its buffer is held by the handler, not allocated.
constexpr std::size_t kMemRdBufferSize = 16384;
// The most memrdf and memwrf move in one command. Touch-memory keys hold a
// few kilobytes at most; anything beyond this is a typing slip, answered
// with "error" before any allocation, before memrdf creates its file and
// before memwrf reads its input.
constexpr int64_t kMaxFileTransferSize = int64_t{16} * 1024 * 1024;
// memrdf's output file: read and write for everyone the umask allows.
constexpr mode_t kOutFileMode = 0666;

// Closes a descriptor when the command ends, whichever way it ends.
class CFileDesc {
  public:
    explicit CFileDesc(int fd) : m_fd(fd) {}
    ~CFileDesc() { Close(); }
    CFileDesc(const CFileDesc &) = delete;
    CFileDesc &operator=(const CFileDesc &) = delete;
    int Get() const { return m_fd; }
    bool IsOpen() const { return m_fd >= 0; }
    // 0 when close succeeded (an interrupted close has released the
    // descriptor as well), else the errno of the failure.
    int Close() {
        if (m_fd < 0)
            return 0;
        const int rc = close(m_fd);
        const int err = (rc < 0 && errno != EINTR) ? errno : 0;
        m_fd = -1;
        return err;
    }

  private:
    int m_fd;
};

// Releases a transfer buffer.
struct CFreeBytes {
    void operator()(unsigned char *bytes) const { free(bytes); }
};
using TransferBuffer = std::unique_ptr<unsigned char[], CFreeBytes>;

// A zero-filled buffer for one transfer, or null when size is negative, over
// the transfer limit, or cannot be allocated.
TransferBuffer AllocTransferBuffer(int64_t size) {
    if (size < 0 || size > kMaxFileTransferSize)
        return nullptr;
    // At least one byte, so that a size of 0 still yields a valid pointer.
    const std::size_t bytes = size > 0 ? static_cast<std::size_t>(size) : 1;
    return TransferBuffer(static_cast<unsigned char *>(calloc(bytes, 1)));
}

// Writes len bytes; 0 when all of them reached the file, else the errno.
int WriteAll(int fd, const unsigned char *data, std::size_t len) {
    while (len > 0) {
        const ssize_t done = write(fd, data, len);
        if (done < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        if (done == 0)
            return EIO; // no progress: the file takes no more
        data += done;
        len -= static_cast<std::size_t>(done);
    }
    return 0;
}

// Keeps SIGPIPE from ending the tool while the output file is written: a
// FIFO whose reader went away then fails the write with EPIPE, reported as
// any failed write is. Standard output keeps the signal's usual effect, so
// a tool whose output is gone still ends.
class CNoSigPipe {
  public:
    CNoSigPipe() {
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        sigemptyset(&ignore.sa_mask);
        m_saved = sigaction(SIGPIPE, &ignore, &m_previous) == 0;
    }
    ~CNoSigPipe() {
        if (m_saved)
            sigaction(SIGPIPE, &m_previous, nullptr);
    }
    CNoSigPipe(const CNoSigPipe &) = delete;
    CNoSigPipe &operator=(const CNoSigPipe &) = delete;

  private:
    struct sigaction m_previous {};
    bool m_saved = false;
};

// Writes the image to the output file; 0 when all of it got there, else the
// errno. A regular file that did not take all of it (a full disk, a
// file-size limit) is emptied again, so that no cut image passes for a
// whole one: it is left as a failed device read leaves it.
int WriteImage(int fd, const unsigned char *data, std::size_t len) {
    int err = 0;
    {
        const CNoSigPipe noSigPipe;
        err = WriteAll(fd, data, len);
    }
    struct stat st {};
    if (err != 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        if (ftruncate(fd, 0) != 0) {
            // the error already reported stands; the file keeps what it got
        }
    }
    return err;
}

// Reads up to len bytes, stopping early only at the end of the file; 0 when
// that went well, else the errno of the failed read.
int ReadUpTo(int fd, unsigned char *data, std::size_t len) {
    while (len > 0) {
        const ssize_t done = read(fd, data, len);
        if (done < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        if (done == 0)
            return 0;
        data += done;
        len -= static_cast<std::size_t>(done);
    }
    return 0;
}

// The length of an open input file, found by seeking to its end and back to
// its start. 0 on success, else the errno: ESPIPE for a stream (pipe, FIFO,
// terminal) that has no length; EISDIR for a directory, whose seek result
// depends on the file system and is no length of data.
int InputFileLength(int fd, int64_t *length) {
    struct stat st {};
    if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode))
        return EISDIR;
    const off_t end = lseek(fd, 0, SEEK_END);
    if (end < 0)
        return errno;
    if (lseek(fd, 0, SEEK_SET) < 0)
        return errno == ESPIPE ? EIO : errno;
    *length = end;
    return 0;
}

// Presence check, settle pause, ROM read into a local record. Prints the
// failure and returns 0 when the command has to stop.
int KeyPreamble() {
    if (!g_client.IsSlavePreset()) {
        puts("no slave");
        return 0;
    }
    usleep(kKeySettleMicros);
    _tm_rom_id rom{};
    if (!g_client.ReadRom(&rom)) {
        puts("error read rom");
        return 0;
    }
    return 1;
}

// Operands are printed with "%lu": a negative one shows as its 64-bit two's
// complement.
unsigned long Shown(int64_t value) {
    return static_cast<unsigned long>(value);
}

// The client takes offsets and sizes as 32-bit unsigned numbers.
unsigned int ToDevice(int64_t value) {
    return static_cast<unsigned int>(value);
}

int TimeDiff(uint64_t t0, uint64_t t1) {
    return static_cast<int>(t1 - t0);
}

} // namespace

void CmdMemRd(char **words, uint64_t count) {
    if (count <= 2) {
        printf("usage %s <offset> <data size>\n", words[0]);
        return;
    }
    const int64_t offset = ParseOperand(words[1]);
    const int64_t size = ParseOperand(words[2]);
    // The listing covers the requested size and lives in the fixed buffer:
    // a size it cannot hold is refused before the key is touched.
    if (size < 0 || size > static_cast<int64_t>(kMemRdBufferSize)) {
        printf("usage %s <offset> <data size>\n", words[0]);
        return;
    }
    printf("reading %lu bytes from offset %lu\n", Shown(size), Shown(offset));
    if (!KeyPreamble())
        return;
    // Cleared, so bytes the device did not deliver show as zero.
    std::array<unsigned char, kMemRdBufferSize> buffer{};
    if (!g_client.MemRead(ToDevice(offset), ToDevice(size), buffer.data())) {
        puts("error read nv memory");
        return;
    }
    PrintHexDump(buffer.data(), static_cast<uint64_t>(size));
}

void CmdMemWrS(char **words, uint64_t count) {
    if (count <= 2) {
        printf("usage %s <data> <offset>\n", words[0]);
        return;
    }
    char *data = words[1];
    const int64_t offset = ParseOperand(words[2]);
    // A word is bounded by the argument or line limits, far below 2^32.
    const std::size_t length = strlen(data);
    printf("writing str '%s' to offset %lu...", data, Shown(offset));
    if (!KeyPreamble())
        return;
    const long written = g_client.MemWrite(ToDevice(offset), static_cast<unsigned int>(length),
                                           reinterpret_cast<unsigned char *>(data));
    puts(written ? "ok" : "error");
}

void CmdMemRdF(char **words, uint64_t count) {
    if (count <= 3) {
        printf("usage %s <file name> <offset> <size>\n", words[0]);
        return;
    }
    const char *fileName = words[1];
    const int64_t offset = ParseOperand(words[2]);
    const int64_t size = ParseOperand(words[3]);
    printf("reading  from tm offset %lu size %lu =>%s....", Shown(offset), Shown(size), fileName);
    if (!KeyPreamble())
        return;
    // Allocated before the file is opened: a size the command cannot serve
    // leaves an existing file as it was.
    TransferBuffer buffer = AllocTransferBuffer(size);
    if (!buffer) {
        puts("error");
        return;
    }
    CFileDesc out(open(fileName, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, kOutFileMode));
    if (!out.IsOpen()) {
        const int err = errno;
        printf("can not create out file %s [%s]\n", fileName, strerror(err));
        return;
    }
    const uint64_t t0 = GetCurTimeMS();
    if (!g_client.MemRead(ToDevice(offset), ToDevice(size), buffer.get())) {
        puts("error");
        return;
    }
    const uint64_t t1 = GetCurTimeMS();
    int err = WriteImage(out.Get(), buffer.get(), static_cast<std::size_t>(size));
    const int closeErr = out.Close();
    if (err == 0)
        err = closeErr;
    if (err != 0) {
        printf("can not write out file %s [%s]\n", fileName, strerror(err));
        return;
    }
    puts("ok");
    printf("time diff %d\n", TimeDiff(t0, t1));
}

void CmdMemWrF(char **words, uint64_t count) {
    if (count <= 2) {
        printf("usage %s <file name> <offset> \n", words[0]);
        return;
    }
    const char *fileName = words[1];
    const int64_t offset = ParseOperand(words[2]);
    CFileDesc in(open(fileName, O_RDONLY | O_CLOEXEC));
    if (!in.IsOpen()) {
        const int err = errno;
        printf("can not open file %s [%s]\n", fileName, strerror(err));
        return;
    }
    int64_t size = 0;
    const int lengthErr = InputFileLength(in.Get(), &size);
    // A stream is read up to the size operand; without one its length, the
    // size, is unknown. Any other failure stops the command.
    const bool hasSize = count > 3;
    if (lengthErr != 0 && !(lengthErr == ESPIPE && hasSize)) {
        printf("can not read file %s [%s]\n", fileName, strerror(lengthErr));
        return;
    }
    if (hasSize)
        size = ParseOperand(words[3]);
    printf("writing  to tm offset %lu size %lu <=%s...", Shown(offset), Shown(size), fileName);
    // Zero-filled: a size beyond the file's end writes zeros after its bytes.
    TransferBuffer buffer = AllocTransferBuffer(size);
    if (!buffer) {
        puts("error");
        return;
    }
    const int readErr = ReadUpTo(in.Get(), buffer.get(), static_cast<std::size_t>(size));
    in.Close();
    if (readErr != 0) {
        printf("can not read file %s [%s]\n", fileName, strerror(readErr));
        return;
    }
    const uint64_t t0 = GetCurTimeMS();
    if (!g_client.MemWrite(ToDevice(offset), ToDevice(size), buffer.get())) {
        puts("error");
        return;
    }
    const uint64_t t1 = GetCurTimeMS();
    puts("ok");
    printf("time diff %d\n", TimeDiff(t0, t1));
}
