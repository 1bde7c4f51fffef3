#include "platform/MMIO.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <new>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr FOURCC RiffId = mmioFOURCC('R', 'I', 'F', 'F');
constexpr FOURCC ListId = mmioFOURCC('L', 'I', 'S', 'T');
constexpr int64_t ChunkHeaderBytes = 8;
// Chunk offsets are stored in 32-bit fields, so no chunk can start beyond this.
constexpr int64_t MaxChunkOffset = std::numeric_limits<uint32_t>::max();

bool HasFormType(FOURCC id) {
    return id == RiffId || id == ListId;
}

// The offset behind a chunk's data, padded to an even offset as chunks are aligned.
int64_t ChunkEnd(const MMCKINFO& ck) {
    return static_cast<int64_t>(ck.dwDataOffset) + ck.cksize + (ck.cksize & 1);
}

} // namespace

std::unique_ptr<MMIOFile> MMIOFile::Open(const std::string& path, MMIOMode mode) {
    int flags = O_CLOEXEC;
    switch (mode) {
    case MMIOMode::Read:
        // Non-blocking so that a FIFO given as a name cannot stall the open; it is refused below.
        flags |= O_RDONLY | O_NONBLOCK;
        break;
    case MMIOMode::ReadWrite:
        flags |= O_RDWR | O_NONBLOCK;
        break;
    case MMIOMode::Create:
        flags |= O_RDWR | O_CREAT | O_TRUNC;
        break;
    }
    const int fd = ::open(path.c_str(), flags, 0644);
    if (fd < 0)
        return nullptr;
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return nullptr;
    }
    std::unique_ptr<MMIOFile> file(new MMIOFile());
    file->fd_ = fd;
    file->writable_ = mode != MMIOMode::Read;
    file->fileSize_ = info.st_size;
    if (file->SetBuffer(DefaultBufferSize) != MMIOERR_OK)
        return nullptr;
    return file;
}

std::unique_ptr<MMIOFile> MMIOFile::OpenMemory(const void* data, std::size_t size) {
    if (data == nullptr && size > 0)
        return nullptr;
    std::unique_ptr<MMIOFile> file(new MMIOFile());
    try {
        const auto* bytes = static_cast<const uint8_t*>(data);
        file->memory_.assign(bytes, bytes + size);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    file->isMemory_ = true;
    file->fileSize_ = static_cast<int64_t>(size);
    // A memory image goes through the same buffer as a file, so both read alike.
    if (file->SetBuffer(DefaultBufferSize) != MMIOERR_OK)
        return nullptr;
    return file;
}

MMIOFile::~MMIOFile() {
    // A destructor cannot report a failed write; callers that care call Flush first.
    FlushWrites();
    if (fd_ >= 0)
        ::close(fd_);
}

int64_t MMIOFile::Size() const {
    return fileSize_;
}

int64_t MMIOFile::RawRead(int64_t offset, void* buffer, int64_t count) {
    if (isMemory_) {
        const auto size = static_cast<int64_t>(memory_.size());
        if (offset >= size)
            return 0;
        const int64_t n = std::min(count, size - offset);
        std::memcpy(buffer, memory_.data() + offset, static_cast<std::size_t>(n));
        return n;
    }
    auto* out = static_cast<uint8_t*>(buffer);
    int64_t done = 0;
    while (done < count) {
        const ssize_t got =
            ::pread(fd_, out + done, static_cast<std::size_t>(count - done), offset + done);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        if (got == 0)
            break;
        done += got;
    }
    return done;
}

int64_t MMIOFile::RawWrite(int64_t offset, const void* buffer, int64_t count) {
    if (!writable_ || isMemory_)
        return -1;
    const auto* in = static_cast<const uint8_t*>(buffer);
    int64_t done = 0;
    while (done < count) {
        const ssize_t put =
            ::pwrite(fd_, in + done, static_cast<std::size_t>(count - done), offset + done);
        if (put < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        if (put == 0)
            return -1;
        done += put;
    }
    return done;
}

bool MMIOFile::FillBuffer() {
    bufferStart_ = position_;
    bufferFilled_ = 0;
    const int64_t got = RawRead(position_, buffer_.get(), bufferSize_);
    if (got < 0)
        return false;
    bufferFilled_ = static_cast<int32_t>(got);
    return true;
}

bool MMIOFile::FlushWrites() {
    if (!bufferDirty_)
        return true;
    const int64_t count = dirtyTo_ - dirtyFrom_;
    if (RawWrite(bufferStart_ + dirtyFrom_, buffer_.get() + dirtyFrom_, count) != count)
        return false;
    bufferDirty_ = false;
    return true;
}

int64_t MMIOFile::Seek(int64_t offset, int origin) {
    int64_t base = 0;
    switch (origin) {
    case SEEK_SET:
        base = 0;
        break;
    case SEEK_CUR:
        base = position_;
        break;
    case SEEK_END:
        base = fileSize_;
        break;
    default:
        return -1;
    }
    if (offset > 0 && base > std::numeric_limits<int64_t>::max() - offset)
        return -1;
    const int64_t target = base + offset;
    if (target < 0 || (!writable_ && target > fileSize_))
        return -1;
    position_ = target;
    return target;
}

int32_t MMIOFile::Read(void* buffer, int32_t count) {
    if (count < 0 || (buffer == nullptr && count > 0))
        return -1;
    auto* out = static_cast<uint8_t*>(buffer);
    int32_t done = 0;
    while (done < count) {
        if (bufferSize_ > 0 && InBuffer(position_)) {
            const auto n = static_cast<int32_t>(
                std::min<int64_t>(count - done, bufferStart_ + bufferFilled_ - position_));
            std::memcpy(out + done, buffer_.get() + (position_ - bufferStart_),
                        static_cast<std::size_t>(n));
            position_ += n;
            done += n;
            continue;
        }
        if (!FlushWrites())
            return -1;
        const int32_t wanted = count - done;
        if (wanted >= bufferSize_) {
            // Large reads skip the buffer rather than pass through it.
            const int64_t got = RawRead(position_, out + done, wanted);
            if (got < 0)
                return -1;
            position_ += got;
            done += static_cast<int32_t>(got);
            break; // the whole remainder was asked for, so a short count means the end
        }
        if (!FillBuffer())
            return -1;
        if (bufferFilled_ == 0)
            break;
    }
    return done;
}

int32_t MMIOFile::Write(const void* buffer, int32_t count) {
    if (!writable_ || count < 0 || (buffer == nullptr && count > 0))
        return -1;
    const auto* in = static_cast<const uint8_t*>(buffer);
    int32_t done = 0;
    while (done < count) {
        const int32_t wanted = count - done;
        // The buffer takes the bytes when they continue or overwrite what it holds.
        const bool fits = bufferSize_ > 0 && position_ >= bufferStart_ &&
                          position_ <= bufferStart_ + bufferFilled_ &&
                          position_ < bufferStart_ + bufferSize_;
        if (!fits) {
            if (!FlushWrites())
                return -1;
            if (wanted >= bufferSize_) {
                // The buffer may hold an older copy of these bytes; it is dropped.
                bufferFilled_ = 0;
                if (RawWrite(position_, in + done, wanted) != wanted)
                    return -1;
                position_ += wanted;
                done += wanted;
                fileSize_ = std::max(fileSize_, position_);
                continue;
            }
            bufferStart_ = position_;
            bufferFilled_ = 0;
        }
        const auto at = static_cast<int32_t>(position_ - bufferStart_);
        const int32_t n = std::min(wanted, bufferSize_ - at);
        std::memcpy(buffer_.get() + at, in + done, static_cast<std::size_t>(n));
        if (bufferDirty_) {
            dirtyFrom_ = std::min(dirtyFrom_, at);
            dirtyTo_ = std::max(dirtyTo_, at + n);
        } else {
            dirtyFrom_ = at;
            dirtyTo_ = at + n;
            bufferDirty_ = true;
        }
        bufferFilled_ = std::max(bufferFilled_, at + n);
        position_ += n;
        done += n;
        fileSize_ = std::max(fileSize_, position_);
    }
    return done;
}

int MMIOFile::Descend(MMCKINFO& ck, const MMCKINFO* parent, unsigned flags) {
    const int64_t parentEnd = parent != nullptr
                                  ? static_cast<int64_t>(parent->dwDataOffset) + parent->cksize
                                  : std::numeric_limits<int64_t>::max();
    // Every pass moves at least one header forward, so the scan ends at the parent or the file.
    for (;;) {
        const int64_t start = position_;
        if (start + ChunkHeaderBytes > parentEnd || start + ChunkHeaderBytes > fileSize_ ||
            start + ChunkHeaderBytes > MaxChunkOffset)
            return MMIOERR_CHUNKNOTFOUND;
        uint32_t header[2] = {};
        const int32_t got = Read(header, sizeof header);
        if (got < 0)
            return MMIOERR_CANNOTREAD;
        if (got != static_cast<int32_t>(sizeof header))
            return MMIOERR_CHUNKNOTFOUND;
        MMCKINFO found{};
        found.ckid = header[0];
        found.cksize = header[1];
        found.dwDataOffset = static_cast<uint32_t>(start + ChunkHeaderBytes);
        if (HasFormType(found.ckid) &&
            Read(&found.fccType, sizeof found.fccType) != static_cast<int32_t>(sizeof(FOURCC)))
            return MMIOERR_CHUNKNOTFOUND;

        bool match = true;
        if (flags & MMIO_FINDRIFF)
            match = found.ckid == RiffId && found.fccType == ck.fccType;
        else if (flags & MMIO_FINDLIST)
            match = found.ckid == ListId && found.fccType == ck.fccType;
        else if (flags & MMIO_FINDCHUNK)
            match = found.ckid == ck.ckid;
        if (match) {
            ck = found;
            return MMIOERR_OK;
        }
        if (Seek(ChunkEnd(found), SEEK_SET) < 0)
            return MMIOERR_CHUNKNOTFOUND;
    }
}

int MMIOFile::Ascend(MMCKINFO& ck) {
    if (ck.dwFlags & MMIO_DIRTY) {
        const int64_t end = position_;
        const int64_t size = end - static_cast<int64_t>(ck.dwDataOffset);
        if (ck.dwDataOffset < ChunkHeaderBytes || size < 0 ||
            size > std::numeric_limits<uint32_t>::max())
            return MMIOERR_CANNOTWRITE;
        const auto size32 = static_cast<uint32_t>(size);
        if (Seek(static_cast<int64_t>(ck.dwDataOffset) - 4, SEEK_SET) < 0)
            return MMIOERR_CANNOTSEEK;
        if (Write(&size32, sizeof size32) != static_cast<int32_t>(sizeof size32))
            return MMIOERR_CANNOTWRITE;
        if (Seek(end, SEEK_SET) < 0)
            return MMIOERR_CANNOTSEEK;
        if (size32 & 1) {
            const uint8_t pad = 0;
            if (Write(&pad, 1) != 1)
                return MMIOERR_CANNOTWRITE;
        }
        ck.cksize = size32;
        ck.dwFlags &= ~MMIO_DIRTY;
    }
    if (Seek(ChunkEnd(ck), SEEK_SET) < 0)
        return MMIOERR_CANNOTSEEK;
    return MMIOERR_OK;
}

int MMIOFile::CreateChunk(MMCKINFO& ck, unsigned flags) {
    if (!writable_)
        return MMIOERR_CANNOTWRITE;
    const int64_t start = position_;
    if (start + ChunkHeaderBytes > MaxChunkOffset)
        return MMIOERR_CANNOTWRITE;
    if (flags & MMIO_CREATERIFF)
        ck.ckid = RiffId;
    else if (flags & MMIO_CREATELIST)
        ck.ckid = ListId;
    const uint32_t header[3] = {ck.ckid, ck.cksize, ck.fccType};
    const int32_t count = HasFormType(ck.ckid) ? 12 : 8;
    if (Write(header, count) != count)
        return MMIOERR_CANNOTWRITE;
    ck.dwDataOffset = static_cast<uint32_t>(start + ChunkHeaderBytes);
    ck.dwFlags = MMIO_DIRTY;
    return MMIOERR_OK;
}

int MMIOFile::SetBuffer(int32_t size) {
    if (size < 0)
        return MMIOERR_OUTOFMEMORY;
    if (!FlushWrites())
        return MMIOERR_CANNOTWRITE;
    std::unique_ptr<uint8_t[]> buffer;
    if (size > 0) {
        buffer.reset(new (std::nothrow) uint8_t[static_cast<std::size_t>(size)]);
        if (buffer == nullptr)
            return MMIOERR_OUTOFMEMORY;
    }
    buffer_ = std::move(buffer);
    bufferSize_ = size;
    bufferStart_ = position_;
    bufferFilled_ = 0;
    return MMIOERR_OK;
}

int MMIOFile::Flush() {
    return FlushWrites() ? MMIOERR_OK : MMIOERR_CANNOTWRITE;
}

int MMIOFile::Truncate(int64_t size) {
    if (!writable_ || isMemory_ || size < 0 || !FlushWrites() || ::ftruncate(fd_, size) != 0)
        return MMIOERR_CANNOTWRITE;
    fileSize_ = size;
    bufferFilled_ = 0; // may hold bytes that are gone now
    return MMIOERR_OK;
}
