// The MPEG audio decoder behind the MPEG reader: the mpeg_* calls over libmpg123. A decoder is
// given a file name, reports the stream information, notifies its owner when that information
// changes, delivers 16-bit PCM at the stream's rate by request, positions by frame, reports the
// end, rewinds, and gives texts for its result codes.
//
// Result codes: 0 is success; 1 … 999 are libmpg123's own codes; 1000 and up are the decoder's
// (MpegErr…). mpeg_ReadDataBytes returns a negated code.
//
// Frames: a frame position F is the stream's sample F × samples per frame. Every frame is
// delivered whole, with no gapless trimming, so frames × samples per frame is the exact length
// of the decoded stream.
//
// Threading contract: a handle is used by one thread at a time; only mpeg_AbortReadData may be
// called from another thread while a read runs. The notify callback runs on the thread of the
// call that caused it (mpeg_SetFileName, mpeg_Clear, mpeg_SetChannelMode, mpeg_ScanFile…).
// mpeg_ReadDataBytes, mpeg_SetPosition, mpeg_GetPosition and mpeg_GetDone allocate nothing of
// their own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The stream information, 166 bytes without alignment.
enum TMpegVersion : uint8_t { v2LSF = 0, v1 = 1 }; // MPEG 2 and 2.5 are both v2LSF
enum TSampleMode : uint8_t { smStereo, smJointStereo, smDualChannel, smSingleChannel };

#pragma pack(push, 1)
struct TMpegFileInfo {
    TMpegVersion Version;
    int32_t Layer;           // 1, 2 or 3
    int32_t SamplesPerFrame; // 384, 576 or 1152
    int32_t SampleRate;      // Hz
    int32_t BitRate;         // kbit/s; the average over the stream when it varies
    TSampleMode Mode;
    int32_t Frames;
    int32_t Length; // milliseconds, rounded to nearest
    double MillisecondsPerFrame;
    uint8_t Reserved[132];
};
#pragma pack(pop)
static_assert(sizeof(TMpegFileInfo) == 166);
static_assert(offsetof(TMpegFileInfo, SampleRate) == 9);
static_assert(offsetof(TMpegFileInfo, Mode) == 17);
static_assert(offsetof(TMpegFileInfo, MillisecondsPerFrame) == 26);

// What a stereo stream is decoded to: one channel, the other, both, or their mix in one channel.
enum TChannelMode : int32_t { cmLeft, cmRight, cmBoth, cmDownMix };

struct TMpegDecoder;
using TMpegHandle = TMpegDecoder*;

// Called with a value the owner may ignore (0) and the user data given to mpeg_Init. The scan
// calls pass their progress in percent instead.
using TMpegNotify = void (*)(int32_t value, void* userData);
// Decryption of file data as it is read; kept for the owner, no cipher is defined here.
using TMpegDecryptCallback = void (*)(void* data, void* buffer, int32_t size);

struct TMpegID3Tag {
    std::string Title, Artist, Album, Year, Comment;
    int32_t Genre = -1;
};

// The decoder's own result codes.
constexpr int MpegErrNotSupported = 1000;
constexpr int MpegErrNoFile = 1001;     // no file set, or the file was not accepted
constexpr int MpegErrNoStream = 1002;   // the file holds no MPEG audio frame
constexpr int MpegErrNotOpen = 1003;    // the call needs the file open
constexpr int MpegErrFileOpen = 1004;   // the call is not possible while the file is open
constexpr int MpegErrCannotOpen = 1005; // the file cannot be opened for reading
constexpr int MpegErrBadParam = 1006;
constexpr int MpegErrBadHandle = 1007;
constexpr int MpegErrReadFailed = 1008; // reading the file failed

// Whether the decoder can be used in this process (libmpg123 initialised, a decoder made).
bool mpeg_LoadLibrary();
// The revision of the call contract this decoder keeps.
int32_t mpeg_Version();

// A new decoder, or nullptr with code set. notify may be nullptr.
TMpegHandle mpeg_Init(int32_t& code, TMpegNotify notify, void* userData);
// 0 when the file starts with MPEG audio the decoder reads. Cheaper than mpeg_SetFileName,
// which counts every frame; the decoder is left without a file.
int mpeg_ProbeFile(TMpegHandle handle, const std::string& name);
// Closes the file, frees the decoder and sets handle to nullptr.
int mpeg_Done(TMpegHandle& handle);

int mpeg_SetDecryptCallback(TMpegHandle handle, TMpegDecryptCallback callback, void* data);
int mpeg_SetDecryptMode(TMpegHandle handle, int32_t mode);
// Closes the file and forgets it; notifies.
int mpeg_Clear(TMpegHandle handle);
// Bytes at the end of a file that are not audio (a trailing header block); the decoder never
// sees them. Takes effect at the next mpeg_SetFileName.
int mpeg_SetTrailingHeader(TMpegHandle handle, int32_t bytes);
// Kept for the owner: seeks here always land on the frame asked for.
int mpeg_SetExactPosition(TMpegHandle handle, bool exact);

// Closes an open file, then reads the named file's stream information (every frame is counted)
// and notifies before it returns, also when the file is refused. An empty name clears.
int mpeg_SetFileName(TMpegHandle handle, const std::string& name);
int mpeg_GetFileName(TMpegHandle handle, std::string& name);
// Non-zero when no file is set or the file was not accepted.
int mpeg_GetEmpty(TMpegHandle handle);
int mpeg_GetFileInfo(TMpegHandle handle, TMpegFileInfo& info);

// Not while the file is open. Notifies when a file is set: its output channels change.
int mpeg_SetChannelMode(TMpegHandle handle, TChannelMode mode);
TChannelMode mpeg_GetChannelMode(TMpegHandle handle);

// A frame of the stream (clamped to its end). With the file closed the frame is kept for the
// next mpeg_OpenFile.
int mpeg_SetPosition(TMpegHandle handle, int32_t frame);
// The frame that holds the next sample to be delivered.
int32_t mpeg_GetPosition(TMpegHandle handle);

int mpeg_OpenFile(TMpegHandle handle);
// Closes the file; the position returns to frame 0.
int mpeg_CloseFile(TMpegHandle handle);
// Back to the first frame.
int mpeg_ResetFile(TMpegHandle handle);
// Up to count bytes of 16-bit PCM (whole sample frames: 2 bytes per channel) at the stream's
// rate and the channel count of the channel mode. Returns the bytes written, 0 at the end, or
// a negated result code; an error that comes after some data is returned by the next read.
int32_t mpeg_ReadDataBytes(TMpegHandle handle, void* buffer, int32_t count);
// Cuts a read in progress short; it returns what it has so far. Any thread.
int mpeg_AbortReadData(TMpegHandle handle);
// Non-zero once the last sample of the stream has been delivered.
int mpeg_GetDone(TMpegHandle handle);

// Read the file again and refresh the stream information (not while it is open); progress,
// when given, hears 100 at the end.
int mpeg_ScanFile(TMpegHandle handle, TMpegNotify progress, void* userData, int32_t flags);
int mpeg_ScanFileEx(TMpegHandle handle, TMpegNotify progress, void* userData);
// Not supported by this decoder.
int mpeg_EncryptFile(TMpegHandle handle, const std::string& source, const std::string& target);
int mpeg_ReadID3Tag(TMpegHandle handle, const std::string& name, TMpegID3Tag& tag);

// The text of a result code: 0 with text set, non-zero when the code has no text.
int mpeg_GetErrorText(int code, std::string& text);
