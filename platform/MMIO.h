// Buffered RIFF file I/O: open, descend into and ascend out of chunks, seek, read, write and
// create chunks, over a read buffer whose size the caller sets.
//
// Threading: an MMIOFile is used by one thread at a time; it takes no lock.
#pragma once

#include "platform/MMSystem.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// Descend flags: find a RIFF chunk of ck.fccType, a LIST chunk of ck.fccType, or a chunk of
// ck.ckid, scanning forward from the current position; without one the next chunk is entered.
constexpr unsigned MMIO_FINDCHUNK = 0x0010;
constexpr unsigned MMIO_FINDRIFF = 0x0020;
constexpr unsigned MMIO_FINDLIST = 0x0040;
// CreateChunk flags.
constexpr unsigned MMIO_CREATERIFF = 0x0020;
constexpr unsigned MMIO_CREATELIST = 0x0040;

// Result codes of the chunk operations.
constexpr int MMIOERR_OK = 0;
constexpr int MMIOERR_CHUNKNOTFOUND = 265;
constexpr int MMIOERR_CANNOTSEEK = 266;
constexpr int MMIOERR_CANNOTREAD = 267;
constexpr int MMIOERR_CANNOTWRITE = 268;
constexpr int MMIOERR_CANNOTOPEN = 257;
constexpr int MMIOERR_OUTOFMEMORY = 258;

enum class MMIOMode { Read, ReadWrite, Create };

class MMIOFile {
public:
    static constexpr int32_t DefaultBufferSize = 8192;

    // Opens a file; nullptr when it cannot be opened in that mode.
    static std::unique_ptr<MMIOFile> Open(const std::string& path, MMIOMode mode);
    // Reads from a copy of a memory image.
    static std::unique_ptr<MMIOFile> OpenMemory(const void* data, std::size_t size);

    ~MMIOFile();
    MMIOFile(const MMIOFile&) = delete;
    MMIOFile& operator=(const MMIOFile&) = delete;

    // origin: SEEK_SET, SEEK_CUR, SEEK_END. Returns the new position, or -1 on failure.
    // A position beyond the end of a read-only file fails.
    int64_t Seek(int64_t offset, int origin);
    int64_t Position() const { return position_; }
    int64_t Size() const;

    // Returns the bytes read (fewer at the end of the file), or -1 on an error.
    int32_t Read(void* buffer, int32_t count);
    // Returns the bytes written, or -1 on an error.
    int32_t Write(const void* buffer, int32_t count);

    // Enters a chunk (see the descend flags); parent limits the search to its data. On success
    // the position is just behind the header (behind the form type for RIFF and LIST).
    int Descend(MMCKINFO& ck, const MMCKINFO* parent, unsigned flags);
    // Leaves a chunk: fixes the size of a chunk created for writing, writes its pad byte, and
    // moves to the even position after its data.
    int Ascend(MMCKINFO& ck);
    // Writes a chunk header at the current position (size fixed at Ascend).
    int CreateChunk(MMCKINFO& ck, unsigned flags);

    // Sets the size of the read/write buffer (0: unbuffered, every call goes to the file); 0 on
    // success, MMIOERR_CANNOTWRITE when pending writes fail, MMIOERR_OUTOFMEMORY otherwise.
    int SetBuffer(int32_t size);
    int32_t BufferSize() const { return bufferSize_; }
    // Writes out what is buffered; 0 or MMIOERR_CANNOTWRITE.
    int Flush();
    // Cuts a writable file to `size` bytes; the position is kept. 0 or MMIOERR_CANNOTWRITE.
    int Truncate(int64_t size);

private:
    MMIOFile() = default;
    // Reads or writes the backing store directly at an offset, without the buffer. They return
    // the bytes moved (fewer only at the end of the data for reads), or -1 on an error.
    int64_t RawRead(int64_t offset, void* buffer, int64_t count);
    int64_t RawWrite(int64_t offset, const void* buffer, int64_t count);
    bool FillBuffer();
    bool FlushWrites();
    bool InBuffer(int64_t offset) const {
        return offset >= bufferStart_ && offset < bufferStart_ + bufferFilled_;
    }

    int fd_ = -1;
    bool writable_ = false;
    std::vector<uint8_t> memory_; // the image of a memory file
    bool isMemory_ = false;
    int64_t position_ = 0;
    int64_t fileSize_ = 0; // includes bytes still waiting in the buffer
    std::unique_ptr<uint8_t[]> buffer_;
    int32_t bufferSize_ = 0;   // 0: every read and write goes straight to the file
    int64_t bufferStart_ = 0;  // file offset of buffer_[0]
    int32_t bufferFilled_ = 0; // valid bytes in the buffer, from bufferStart_ on
    bool bufferDirty_ = false;
    int32_t dirtyFrom_ = 0, dirtyTo_ = 0; // the written part of the buffer, [from, to)
};
