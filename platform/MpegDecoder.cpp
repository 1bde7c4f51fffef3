#include "platform/MpegDecoder.h"

#include <mpg123.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int32_t ContractVersion = 25;

// Layer 3 frames take part of their data from up to 511 bytes of earlier frames (the bit
// reservoir); at the lowest bit rates that reaches nine frames back. A seek decodes and drops
// this many frames before the target so that the target decodes as in a linear run.
constexpr long SeekPreFrames = 10;

struct DecoderDeleter {
    void operator()(mpg123_handle* decoder) const { mpg123_delete(decoder); }
};
using DecoderPtr = std::unique_ptr<mpg123_handle, DecoderDeleter>;

// The part of a file the decoder reads: all of it but the trailing header. libmpg123 reads
// through these callbacks (mpg123_open_handle); its close calls CloseSource.
struct FileSource {
    int fd = -1;
    int64_t end = 0; // bytes visible to the decoder
    int64_t position = 0;
    int error = 0; // errno of a failed read since the file was opened
};

mpg123_ssize_t ReadSource(void* handle, void* buffer, size_t count) {
    auto* source = static_cast<FileSource*>(handle);
    const int64_t left = std::max<int64_t>(source->end - source->position, 0);
    const auto wanted = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(count), left));
    if (wanted == 0)
        return 0;
    ssize_t got = 0;
    do {
        got = pread(source->fd, buffer, wanted, source->position);
    } while (got < 0 && errno == EINTR);
    if (got > 0)
        source->position += got;
    else if (got < 0)
        source->error = errno;
    return got;
}

off_t SeekSource(void* handle, off_t offset, int whence) {
    auto* source = static_cast<FileSource*>(handle);
    int64_t base = 0;
    if (whence == SEEK_CUR)
        base = source->position;
    else if (whence == SEEK_END)
        base = source->end;
    else if (whence != SEEK_SET)
        return -1;
    const int64_t target = base + offset;
    if (target < 0)
        return -1;
    source->position = target;
    return target;
}

void CloseSource(void* handle) {
    auto* source = static_cast<FileSource*>(handle);
    if (source->fd >= 0)
        close(source->fd);
    source->fd = -1;
}

struct OwnText {
    int code;
    const char* text;
};
constexpr OwnText OwnTexts[] = {
    {MpegErrNotSupported, "Not supported by this MPEG decoder"},
    {MpegErrNoFile, "No MPEG audio file is set"},
    {MpegErrNoStream, "The file holds no MPEG audio"},
    {MpegErrNotOpen, "The MPEG audio file is not open"},
    {MpegErrFileOpen, "Not possible while the MPEG audio file is open"},
    {MpegErrCannotOpen, "The file cannot be opened for reading"},
    {MpegErrBadParam, "Invalid parameter"},
    {MpegErrBadHandle, "Invalid MPEG decoder handle"},
    {MpegErrReadFailed, "Error reading the MPEG audio file"},
};

} // namespace

struct TMpegDecoder {
    FileSource source; // declared first: it outlives the decoder that reads from it
    DecoderPtr decoder;
    TMpegNotify notify = nullptr;
    void* userData = nullptr;

    std::string fileName;
    bool empty = true;
    TMpegFileInfo info{};
    int32_t streamChannels = 0;
    int64_t totalSamples = 0; // per channel
    std::vector<off_t> index; // frame offsets from the scan, handed to each opened stream
    off_t indexStep = 1;

    int32_t trailingHeader = 0;
    bool exactPosition = false;
    TChannelMode channelMode = cmBoth;
    TMpegDecryptCallback decryptCallback = nullptr;
    void* decryptData = nullptr;
    int32_t decryptMode = 0;

    bool open = false;
    int32_t closedPosition = 0; // the frame to start at when the file is opened
    int64_t runStart = 0;       // the sample the current run began at (a frame start)
    int64_t delivered = 0;      // samples delivered since
    bool done = false;
    int pendingError = 0;           // a read error that came after data, reported by the next read
    std::vector<int16_t> mixBuffer; // one frame of stereo samples while mixing down, made at open
    // Set by any thread to cut a read short; the reading thread clears it. Relaxed: it carries
    // no data, the read only has to see it eventually.
    std::atomic<bool> abort{false};

    int32_t OutputChannels() const {
        return (streamChannels == 1 || channelMode != cmBoth) ? 1 : 2;
    }
    int32_t BlockAlign() const { return OutputChannels() * 2; }
    // libmpg123 mixes only layer 3 into one channel (layers 1 and 2 give the left channel), so
    // a stereo stream is mixed down here.
    bool MixesDown() const { return streamChannels == 2 && channelMode == cmDownMix; }
    int32_t Frames() const { return info.Frames; } // by value: the record is packed

    void Notify() {
        if (notify != nullptr)
            notify(0, userData);
    }

    // A libmpg123 result as a code of ours: its own code when it has one.
    int LibraryCode(int result) const {
        if (result == MPG123_ERR)
            result = mpg123_errcode(decoder.get());
        if (result == MPG123_DONE || result == MPG123_NEED_MORE)
            return MpegErrNoStream;
        return (result > 0 && result < 1000) ? result : MpegErrNoStream;
    }

    int OpenSource() {
        const int fd = ::open(fileName.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            return MpegErrCannotOpen;
        struct stat status {};
        if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
            close(fd);
            return MpegErrCannotOpen;
        }
        source.fd = fd;
        source.end = std::max<int64_t>(static_cast<int64_t>(status.st_size) - trailingHeader, 0);
        source.position = 0;
        source.error = 0;
        const int result = mpg123_open_handle(decoder.get(), &source);
        if (result != MPG123_OK) {
            CloseSource(&source);
            return LibraryCode(result);
        }
        return 0;
    }

    // Counts every frame of the opened stream and takes its information.
    int ReadStreamInfo() {
        mpg123_handle* mh = decoder.get();
        int result = mpg123_scan(mh);
        if (source.error != 0)
            return MpegErrReadFailed;
        if (result != MPG123_OK)
            return LibraryCode(result);
        long rate = 0;
        int channels = 0;
        int encoding = 0;
        result = mpg123_getformat(mh, &rate, &channels, &encoding);
        if (result != MPG123_OK)
            return LibraryCode(result);
        mpg123_frameinfo2 frame{};
        if (mpg123_info2(mh, &frame) != MPG123_OK)
            return LibraryCode(MPG123_ERR);
        const off_t frames = mpg123_framelength(mh);
        const off_t samples = mpg123_length(mh);
        const int samplesPerFrame = mpg123_spf(mh);
        if (frames <= 0 || frames > INT32_MAX || samples <= 0 || samplesPerFrame <= 0 || rate <= 0)
            return MpegErrNoStream;

        off_t* offsets = nullptr;
        off_t step = 1;
        size_t fill = 0;
        if (mpg123_index(mh, &offsets, &step, &fill) == MPG123_OK && offsets != nullptr) {
            index.assign(offsets, offsets + fill);
            indexStep = step;
        }

        const double seconds = static_cast<double>(samples) / static_cast<double>(rate);
        info = TMpegFileInfo{};
        info.Version = frame.version == MPG123_1_0 ? v1 : v2LSF;
        info.Layer = frame.layer;
        info.SamplesPerFrame = samplesPerFrame;
        info.SampleRate = static_cast<int32_t>(rate);
        if (frame.vbr == MPG123_CBR) {
            info.BitRate = frame.bitrate;
        } else {
            const int64_t firstFrame = index.empty() ? 0 : index.front();
            info.BitRate = static_cast<int32_t>(
                std::lround(static_cast<double>(source.end - firstFrame) * 8.0 / seconds / 1000.0));
        }
        switch (frame.mode) {
        case MPG123_M_JOINT:
            info.Mode = smJointStereo;
            break;
        case MPG123_M_DUAL:
            info.Mode = smDualChannel;
            break;
        case MPG123_M_MONO:
            info.Mode = smSingleChannel;
            break;
        default:
            info.Mode = smStereo;
            break;
        }
        info.Frames = static_cast<int32_t>(frames);
        info.Length =
            static_cast<int32_t>(std::min<double>(std::llround(seconds * 1000.0), INT32_MAX));
        info.MillisecondsPerFrame = samplesPerFrame * 1000.0 / static_cast<double>(rate);
        streamChannels = frame.mode == MPG123_M_MONO ? 1 : 2;
        totalSamples = samples;
        return 0;
    }

    void Forget() {
        fileName.clear();
        empty = true;
        info = TMpegFileInfo{};
        streamChannels = 0;
        totalSamples = 0;
        index.clear();
        indexStep = 1;
    }

    // Reads the file's information with the stream opened in its own format.
    int Load(const std::string& name) {
        CloseFile();
        Forget();
        if (name.empty())
            return 0;
        fileName = name;
        mpg123_param(decoder.get(), MPG123_REMOVE_FLAGS, MPG123_FORCE_MONO, 0);
        mpg123_format_all(decoder.get());
        int result = OpenSource();
        if (result == 0) {
            result = ReadStreamInfo();
            mpg123_close(decoder.get());
        }
        if (result != 0)
            Forget();
        else
            empty = false;
        return result;
    }

    // Whether the file starts with MPEG audio, without counting its frames; leaves the decoder
    // without a file.
    int Probe(const std::string& name) {
        CloseFile();
        Forget();
        if (name.empty())
            return MpegErrNoFile;
        fileName = name;
        mpg123_param(decoder.get(), MPG123_REMOVE_FLAGS, MPG123_FORCE_MONO, 0);
        mpg123_format_all(decoder.get());
        int result = OpenSource();
        if (result == 0) {
            long rate = 0;
            int channels = 0;
            int encoding = 0;
            mpg123_frameinfo2 frame{};
            result = mpg123_getformat(decoder.get(), &rate, &channels, &encoding);
            if (source.error != 0)
                result = MpegErrReadFailed;
            else if (result != MPG123_OK)
                result = LibraryCode(result);
            else if (mpg123_info2(decoder.get(), &frame) != MPG123_OK || rate <= 0)
                result = MpegErrNoStream;
            mpg123_close(decoder.get());
        }
        Forget();
        return result;
    }

    int OpenFile() {
        if (empty)
            return MpegErrNoFile;
        if (open)
            return 0;
        mpg123_handle* mh = decoder.get();
        mpg123_param(mh, MPG123_REMOVE_FLAGS, MPG123_FORCE_MONO, 0);
        if (streamChannels == 2 && (channelMode == cmLeft || channelMode == cmRight)) {
            const long side = channelMode == cmLeft ? MPG123_MONO_LEFT : MPG123_MONO_RIGHT;
            mpg123_param(mh, MPG123_ADD_FLAGS, side, 0);
        }
        if (MixesDown())
            mixBuffer.assign(static_cast<std::size_t>(info.SamplesPerFrame) * 2, 0);
        mpg123_format_none(mh);
        const int decodedChannels = MixesDown() ? 2 : OutputChannels();
        int result = mpg123_format(mh, info.SampleRate, decodedChannels, MPG123_ENC_SIGNED_16);
        if (result != MPG123_OK)
            return LibraryCode(result);
        result = OpenSource();
        if (result != 0)
            return result;
        if (!index.empty())
            mpg123_set_index(mh, index.data(), indexStep, index.size());
        open = true;
        result = Seek(closedPosition);
        if (result != 0)
            CloseFile();
        return result;
    }

    void CloseFile() {
        if (open)
            mpg123_close(decoder.get());
        open = false;
        closedPosition = 0;
        runStart = 0;
        delivered = 0;
        done = false;
        pendingError = 0;
    }

    int Seek(int32_t frame) {
        const int64_t target = std::clamp<int64_t>(frame, 0, Frames());
        runStart = target * info.SamplesPerFrame;
        delivered = 0;
        pendingError = 0;
        done = target >= Frames();
        if (done)
            return 0; // the end: reads deliver nothing, the stream is not touched
        const off_t result = mpg123_seek_frame(decoder.get(), static_cast<off_t>(target), SEEK_SET);
        return result < 0 ? LibraryCode(static_cast<int>(result)) : 0;
    }

    int32_t TakePendingError() {
        const int error = pendingError;
        pendingError = 0;
        done = true;
        return -error;
    }

    int32_t Read(unsigned char* out, int32_t count) {
        abort.store(false, std::memory_order_relaxed);
        if (pendingError != 0)
            return TakePendingError();
        const int64_t left = totalSamples - (runStart + delivered);
        if (done || left <= 0) {
            done = true;
            return 0;
        }
        const int32_t outBlock = BlockAlign();
        const int32_t decodedBlock = MixesDown() ? 4 : outBlock;
        const int64_t wanted = std::min<int64_t>(count / outBlock, left);
        int64_t samples = 0;
        int idle = 0;
        // At most a frame per library call, so that an abort is seen between frames.
        while (samples < wanted && !abort.load(std::memory_order_relaxed)) {
            const int64_t chunk = std::min<int64_t>(wanted - samples, info.SamplesPerFrame);
            unsigned char* target = MixesDown() ? reinterpret_cast<unsigned char*>(mixBuffer.data())
                                                : out + samples * outBlock;
            size_t got = 0;
            const int result =
                mpg123_read(decoder.get(), target, static_cast<size_t>(chunk * decodedBlock), &got);
            const auto gotSamples = static_cast<int64_t>(got / static_cast<size_t>(decodedBlock));
            if (MixesDown())
                MixDown(out + samples * outBlock, gotSamples);
            samples += gotSamples;
            if (result == MPG123_OK || result == MPG123_NEW_FORMAT) {
                // A stream that keeps answering without data has nothing more to give.
                idle = got == 0 ? idle + 1 : 0;
                if (idle < 8)
                    continue;
                done = true;
                break;
            }
            if (result == MPG123_DONE && source.error == 0) {
                done = true;
                break;
            }
            // libmpg123 ends the stream where a read of the file failed; that is an error here.
            // What decoded before it is delivered now, the error by the next read.
            pendingError = result == MPG123_DONE ? MpegErrReadFailed : LibraryCode(result);
            break;
        }
        if (samples == 0 && pendingError != 0)
            return TakePendingError();
        delivered += samples;
        if (runStart + delivered >= totalSamples)
            done = true;
        return static_cast<int32_t>(samples * outBlock);
    }

    // Left and right decoded into mixBuffer, averaged into one channel.
    void MixDown(unsigned char* out, int64_t samples) const {
        for (int64_t i = 0; i < samples; ++i) {
            const auto mixed = static_cast<int16_t>((mixBuffer[2 * i] + mixBuffer[2 * i + 1]) / 2);
            std::memcpy(out + 2 * i, &mixed, 2);
        }
    }

    int32_t Position() const {
        if (!open)
            return closedPosition;
        const int64_t frame = (runStart + delivered) / info.SamplesPerFrame;
        return static_cast<int32_t>(std::min<int64_t>(frame, Frames()));
    }
};

bool mpeg_LoadLibrary() {
    static std::once_flag initialised;
    static bool initialisedOk = false;
    // Once a decoder could be made, later calls need not try again. Relaxed: it guards nothing.
    static std::atomic<bool> decoderMade{false};
    std::call_once(initialised, [] { initialisedOk = mpg123_init() == MPG123_OK; });
    if (!initialisedOk)
        return false;
    if (decoderMade.load(std::memory_order_relaxed))
        return true;
    int error = 0;
    const DecoderPtr probe(mpg123_new(nullptr, &error));
    decoderMade.store(probe != nullptr, std::memory_order_relaxed);
    return probe != nullptr;
}

int32_t mpeg_Version() {
    return ContractVersion;
}

TMpegHandle mpeg_Init(int32_t& code, TMpegNotify notify, void* userData) {
    if (!mpeg_LoadLibrary()) {
        code = MPG123_NOT_INITIALIZED;
        return nullptr;
    }
    int error = 0;
    DecoderPtr decoder(mpg123_new(nullptr, &error));
    if (decoder == nullptr) {
        code = error > 0 ? error : MPG123_ERR_NULL;
        return nullptr;
    }
    mpg123_handle* mh = decoder.get();
    mpg123_param(mh, MPG123_ADD_FLAGS, MPG123_QUIET, 0);
    // Frames stay whole, so that positions are frames and the length is frames × samples per
    // frame. The price: the encoder's delay and padding (a few tens of milliseconds of near
    // silence at the ends of an MP3) are played as the stream holds them.
    mpg123_param(mh, MPG123_REMOVE_FLAGS, MPG123_GAPLESS, 0);
    mpg123_param(mh, MPG123_PREFRAMES, SeekPreFrames, 0);
    if (mpg123_replace_reader_handle(mh, ReadSource, SeekSource, CloseSource) != MPG123_OK) {
        code = mpg123_errcode(mh);
        return nullptr;
    }
    auto* handle = new TMpegDecoder;
    handle->decoder = std::move(decoder);
    handle->notify = notify;
    handle->userData = userData;
    code = 0;
    return handle;
}

int mpeg_Done(TMpegHandle& handle) {
    if (handle == nullptr)
        return MpegErrBadHandle;
    handle->CloseFile();
    delete handle;
    handle = nullptr;
    return 0;
}

int mpeg_SetDecryptCallback(TMpegHandle handle, TMpegDecryptCallback callback, void* data) {
    if (handle == nullptr)
        return MpegErrBadHandle;
    handle->decryptCallback = callback;
    handle->decryptData = data;
    return 0;
}

int mpeg_SetDecryptMode(TMpegHandle handle, int32_t mode) {
    if (handle == nullptr)
        return MpegErrBadHandle;
    handle->decryptMode = mode;
    return 0;
}

int mpeg_Clear(TMpegHandle handle) {
    if (handle == nullptr)
        return MpegErrBadHandle;
    handle->Load("");
    handle->Notify();
    return 0;
}

int mpeg_SetTrailingHeader(TMpegHandle handle, int32_t bytes) {
    if (handle == nullptr)
        return MpegErrBadHandle;
    if (bytes < 0)
        return MpegErrBadParam;
    handle->trailingHeader = bytes;
    return 0;
}

int mpeg_SetExactPosition(TMpegHandle handle, bool exact) {
    if (handle == nullptr)
        return MpegErrBadHandle;
    handle->exactPosition = exact;
    return 0;
}

int mpeg_ProbeFile(TMpegHandle handle, const std::string& name) {
    if (handle == nullptr)
        return MpegErrBadHandle;
    return handle->Probe(name);
}

int mpeg_SetFileName(TMpegHandle handle, const std::string& name) {
    if (handle == nullptr)
        return MpegErrBadHandle;
    const int result = handle->Load(name);
    handle->Notify();
    return result;
}

int mpeg_GetFileName(TMpegHandle handle, std::string& name) {
    if (handle == nullptr)
        return MpegErrBadHandle;
    name = handle->fileName;
    return 0;
}

int mpeg_GetEmpty(TMpegHandle handle) {
    return (handle == nullptr || handle->empty) ? 1 : 0;
}

int mpeg_GetFileInfo(TMpegHandle handle, TMpegFileInfo& info) {
    if (handle == nullptr)
        return MpegErrBadHandle;
    if (handle->empty)
        return MpegErrNoFile;
    info = handle->info;
    return 0;
}

int mpeg_SetChannelMode(TMpegHandle handle, TChannelMode mode) {
    if (handle == nullptr)
        return MpegErrBadHandle;
    if (mode < cmLeft || mode > cmDownMix)
        return MpegErrBadParam;
    if (handle->open)
        return MpegErrFileOpen;
    if (mode == handle->channelMode)
        return 0;
    handle->channelMode = mode;
    if (!handle->empty)
        handle->Notify();
    return 0;
}

TChannelMode mpeg_GetChannelMode(TMpegHandle handle) {
    return handle != nullptr ? handle->channelMode : cmBoth;
}

int mpeg_SetPosition(TMpegHandle handle, int32_t frame) {
    if (handle == nullptr)
        return MpegErrBadHandle;
    if (frame < 0)
        return MpegErrBadParam;
    if (!handle->open) {
        handle->closedPosition = handle->empty ? frame : std::min<int32_t>(frame, handle->Frames());
        return 0;
    }
    return handle->Seek(frame);
}

int32_t mpeg_GetPosition(TMpegHandle handle) {
    return handle != nullptr ? handle->Position() : 0;
}

int mpeg_OpenFile(TMpegHandle handle) {
    return handle != nullptr ? handle->OpenFile() : MpegErrBadHandle;
}

int mpeg_CloseFile(TMpegHandle handle) {
    if (handle == nullptr)
        return MpegErrBadHandle;
    handle->CloseFile();
    return 0;
}

int mpeg_ResetFile(TMpegHandle handle) {
    if (handle == nullptr)
        return MpegErrBadHandle;
    if (!handle->open)
        return MpegErrNotOpen;
    return handle->Seek(0);
}

int32_t mpeg_ReadDataBytes(TMpegHandle handle, void* buffer, int32_t count) {
    if (handle == nullptr)
        return -MpegErrBadHandle;
    if (!handle->open)
        return -MpegErrNotOpen;
    if (buffer == nullptr || count < 0)
        return -MpegErrBadParam;
    return handle->Read(static_cast<unsigned char*>(buffer), count);
}

int mpeg_AbortReadData(TMpegHandle handle) {
    if (handle == nullptr)
        return MpegErrBadHandle;
    handle->abort.store(true, std::memory_order_relaxed);
    return 0;
}

int mpeg_GetDone(TMpegHandle handle) {
    return (handle != nullptr && handle->done) ? 1 : 0;
}

int mpeg_ScanFile(TMpegHandle handle, TMpegNotify progress, void* userData, int32_t) {
    if (handle == nullptr)
        return MpegErrBadHandle;
    if (handle->empty)
        return MpegErrNoFile;
    if (handle->open)
        return MpegErrFileOpen;
    const std::string name = handle->fileName;
    const int result = handle->Load(name);
    handle->Notify();
    if (progress != nullptr)
        progress(100, userData);
    return result;
}

int mpeg_ScanFileEx(TMpegHandle handle, TMpegNotify progress, void* userData) {
    return mpeg_ScanFile(handle, progress, userData, 0);
}

int mpeg_EncryptFile(TMpegHandle handle, const std::string&, const std::string&) {
    return handle != nullptr ? MpegErrNotSupported : MpegErrBadHandle;
}

int mpeg_ReadID3Tag(TMpegHandle handle, const std::string&, TMpegID3Tag&) {
    return handle != nullptr ? MpegErrNotSupported : MpegErrBadHandle;
}

int mpeg_GetErrorText(int code, std::string& text) {
    for (const OwnText& own : OwnTexts) {
        if (own.code == code) {
            text = own.text;
            return 0;
        }
    }
    if (code < 0 || code >= 1000)
        return 1;
    // libmpg123 answers every code it does not know with one text.
    static const std::string unknown = mpg123_plain_strerror(999);
    const char* library = mpg123_plain_strerror(code);
    if (library == nullptr || unknown == library)
        return 1;
    text = library;
    return 0;
}
