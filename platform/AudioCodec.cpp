#include "platform/AudioCodec.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <limits>
#include <mutex>
#include <vector>

static_assert(std::endian::native == std::endian::little,
              "wave samples are little-endian and are copied as host samples");

namespace platform {

namespace {

// ---- formats --------------------------------------------------------------------------------

constexpr int MinChannels = 1;
constexpr int MaxChannels = 8;
constexpr uint32_t MinSampleRate = 1000;
constexpr uint32_t MaxSampleRate = 384000;
// The extension of WAVE_FORMAT_EXTENSIBLE: valid bits (2), channel mask (4), sub-format (16).
constexpr uint16_t ExtensibleSize = 22;
// Bytes 2..15 of every sub-format GUID of the wave-tag family; bytes 0..1 hold the tag.
constexpr std::array<uint8_t, 14> TagGuidTail{0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                              0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

// The standard coefficient pairs of Microsoft ADPCM, the only ones the codec library knows.
constexpr std::array<int16_t, 14> StandardAdpcmCoefficients{256, 0,   512, -256, 0,    0,   192,
                                                            64,  240, 0,   460,  -208, 392, -232};

const uint8_t* ExtraBytes(const WAVEFORMATEX& format) {
    return reinterpret_cast<const uint8_t*>(&format) + sizeof(WAVEFORMATEX);
}

uint16_t ReadU16(const uint8_t* at) {
    return static_cast<uint16_t>(at[0] | (at[1] << 8));
}

uint32_t ReadU32(const uint8_t* at) {
    return static_cast<uint32_t>(at[0]) | (static_cast<uint32_t>(at[1]) << 8) |
           (static_cast<uint32_t>(at[2]) << 16) | (static_cast<uint32_t>(at[3]) << 24);
}

bool IsExtensible(const WAVEFORMATEX& format) {
    return format.wFormatTag == WAVE_FORMAT_EXTENSIBLE && format.cbSize >= ExtensibleSize;
}

bool ChannelsAndRateInRange(const WAVEFORMATEX& format) {
    return format.nChannels >= MinChannels && format.nChannels <= MaxChannels &&
           format.nSamplesPerSec >= MinSampleRate && format.nSamplesPerSec <= MaxSampleRate;
}

// Plain PCM as the PCM stream takes it.
bool IsStreamPcm(const WAVEFORMATEX& format) {
    const int bits = format.wBitsPerSample;
    return format.wFormatTag == WAVE_FORMAT_PCM &&
           (bits == 8 || bits == 16 || bits == 24 || bits == 32) &&
           ChannelsAndRateInRange(format) && format.nBlockAlign == format.nChannels * bits / 8;
}

void FillPcm(WAVEFORMATEX& format, uint16_t bits, uint16_t channels, uint32_t rate) {
    format.wFormatTag = WAVE_FORMAT_PCM;
    format.nChannels = channels;
    format.nSamplesPerSec = rate;
    format.wBitsPerSample = bits;
    format.nBlockAlign = static_cast<uint16_t>(channels * bits / 8);
    format.nAvgBytesPerSec = rate * format.nBlockAlign;
    format.cbSize = 0;
}

// How the codec stream cuts its input into packets for the decoder.
enum class Packets {
    Block,  // one nBlockAlign block per packet; a partial block only at the end
    Any,    // any run of whole nBlockAlign blocks (sample-wise codecs)
    Parsed, // frames found by the codec's parser (MPEG audio, AC-3, DTS)
};

struct CodecChoice {
    AVCodecID id = AV_CODEC_ID_NONE;
    Packets packets = Packets::Any;
};

// Wave format tags and their decoders, as the RIFF tables of the codec library map them.
struct TagEntry {
    uint16_t tag;
    AVCodecID id;
    Packets packets;
};
constexpr TagEntry TagTable[] = {
    {0x0002, AV_CODEC_ID_ADPCM_MS, Packets::Block},
    {0x0006, AV_CODEC_ID_PCM_ALAW, Packets::Any},
    {0x0007, AV_CODEC_ID_PCM_MULAW, Packets::Any},
    {0x000A, AV_CODEC_ID_WMAVOICE, Packets::Block},
    {0x0010, AV_CODEC_ID_ADPCM_IMA_OKI, Packets::Any},
    {0x0011, AV_CODEC_ID_ADPCM_IMA_WAV, Packets::Block},
    {0x0017, AV_CODEC_ID_ADPCM_IMA_OKI, Packets::Any},
    {0x0020, AV_CODEC_ID_ADPCM_YAMAHA, Packets::Any},
    {0x0022, AV_CODEC_ID_TRUESPEECH, Packets::Block},
    {0x0031, AV_CODEC_ID_GSM_MS, Packets::Block},
    {0x0032, AV_CODEC_ID_GSM_MS, Packets::Block},
    {0x0040, AV_CODEC_ID_ADPCM_G726, Packets::Any},
    {0x0045, AV_CODEC_ID_ADPCM_G726, Packets::Any},
    {0x0050, AV_CODEC_ID_MP2, Packets::Parsed},
    {0x0055, AV_CODEC_ID_MP3, Packets::Parsed},
    {0x0061, AV_CODEC_ID_ADPCM_IMA_DK4, Packets::Block},
    {0x0062, AV_CODEC_ID_ADPCM_IMA_DK3, Packets::Block},
    {0x0069, AV_CODEC_ID_ADPCM_IMA_WAV, Packets::Block},
    {0x0160, AV_CODEC_ID_WMAV1, Packets::Block},
    {0x0161, AV_CODEC_ID_WMAV2, Packets::Block},
    {0x0162, AV_CODEC_ID_WMAPRO, Packets::Block},
    {0x0163, AV_CODEC_ID_WMALOSSLESS, Packets::Block},
    {0x0200, AV_CODEC_ID_ADPCM_CT, Packets::Any},
    {0x0270, AV_CODEC_ID_ATRAC3, Packets::Block},
    {0x0401, AV_CODEC_ID_IMC, Packets::Block},
    {0x2000, AV_CODEC_ID_AC3, Packets::Parsed},
    {0x2001, AV_CODEC_ID_DTS, Packets::Parsed},
};

bool StandardAdpcmTable(const WAVEFORMATEX& format) {
    // Without a table (cbSize < 4) the decoder's own standard table applies.
    if (format.cbSize < 4)
        return true;
    const uint8_t* extra = ExtraBytes(format);
    const int count = ReadU16(extra + 2);
    if (count < 7 || format.cbSize < 4 + 4 * 7)
        return false;
    for (int i = 0; i < 14; ++i)
        if (static_cast<int16_t>(ReadU16(extra + 4 + 2 * i)) != StandardAdpcmCoefficients[i])
            return false;
    return true;
}

// The decoder for a compressed (or non-plain PCM) format, or none.
CodecChoice ChooseCodec(const WAVEFORMATEX& format) {
    const uint16_t tag = EffectiveFormatTag(format);
    const int bits = format.wBitsPerSample;
    if (tag == WAVE_FORMAT_PCM) {
        // Plain PCM belongs to the PCM stream; PCM inside WAVE_FORMAT_EXTENSIBLE is decoded.
        if (format.wFormatTag == WAVE_FORMAT_PCM)
            return {};
        switch (bits) {
        case 8:
            return {AV_CODEC_ID_PCM_U8, Packets::Any};
        case 16:
            return {AV_CODEC_ID_PCM_S16LE, Packets::Any};
        case 24:
            return {AV_CODEC_ID_PCM_S24LE, Packets::Any};
        case 32:
            return {AV_CODEC_ID_PCM_S32LE, Packets::Any};
        default:
            return {};
        }
    }
    if (tag == WAVE_FORMAT_IEEE_FLOAT) {
        // Other sample sizes under this tag are not float (an ADPCM variant uses 4 bits).
        if (bits == 32)
            return {AV_CODEC_ID_PCM_F32LE, Packets::Any};
        if (bits == 64)
            return {AV_CODEC_ID_PCM_F64LE, Packets::Any};
        return {};
    }
    if (tag == WAVE_FORMAT_ADPCM && !StandardAdpcmTable(format))
        return {}; // the decoder would play other coefficients with the standard ones
    for (const TagEntry& entry : TagTable)
        if (entry.tag == tag)
            return {entry.id, entry.packets};
    return {};
}

// The channel layout a wave format declares: its mask when WAVE_FORMAT_EXTENSIBLE gives one
// that fits the channel count, else the usual order for that many channels.
AVChannelLayout DeclaredLayout(const WAVEFORMATEX& format) {
    AVChannelLayout layout{};
    if (IsExtensible(format)) {
        const uint32_t mask = ReadU32(ExtraBytes(format) + 2);
        if (std::popcount(mask) == format.nChannels &&
            av_channel_layout_from_mask(&layout, mask) == 0)
            return layout;
    }
    av_channel_layout_default(&layout, format.nChannels);
    return layout;
}

// ---- owners of the library's objects --------------------------------------------------------

struct CodecContextDeleter {
    void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};
struct FrameDeleter {
    void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
struct PacketDeleter {
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
struct ParserDeleter {
    void operator()(AVCodecParserContext* parser) const { av_parser_close(parser); }
};
struct SwrDeleter {
    void operator()(SwrContext* context) const { swr_free(&context); }
};
struct ParametersDeleter {
    void operator()(AVCodecParameters* parameters) const { avcodec_parameters_free(&parameters); }
};
using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextDeleter>;
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;
using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;
using ParserPtr = std::unique_ptr<AVCodecParserContext, ParserDeleter>;
using SwrPtr = std::unique_ptr<SwrContext, SwrDeleter>;
using ParametersPtr = std::unique_ptr<AVCodecParameters, ParametersDeleter>;

// A channel layout that frees what it holds.
class Layout {
public:
    Layout() = default;
    explicit Layout(const AVChannelLayout& layout) : layout_(layout) {}
    ~Layout() { av_channel_layout_uninit(&layout_); }
    Layout(const Layout&) = delete;
    Layout& operator=(const Layout&) = delete;
    void Assign(const AVChannelLayout& other) {
        av_channel_layout_uninit(&layout_);
        av_channel_layout_copy(&layout_, &other);
    }
    const AVChannelLayout* get() const { return &layout_; }
    bool operator==(const AVChannelLayout& other) const {
        return av_channel_layout_compare(&layout_, &other) == 0;
    }

private:
    AVChannelLayout layout_{};
};

void QuietLibrary() {
    // Corrupt input is expected and handled; the library's messages would only be noise on
    // the service thread.
    static std::once_flag once;
    std::call_once(once, [] { av_log_set_level(AV_LOG_QUIET); });
}

constexpr int32_t MaxBufferBytes = std::numeric_limits<int32_t>::max() / 4;

int32_t ClampBytes(int64_t bytes) {
    return static_cast<int32_t>(std::clamp<int64_t>(bytes, 0, MaxBufferBytes));
}

// Opens a resampler. realTime keeps the library's default filter; otherwise a longer one.
SwrPtr OpenResampler(const AVChannelLayout* outLayout, AVSampleFormat outFormat, int outRate,
                     const AVChannelLayout* inLayout, AVSampleFormat inFormat, int inRate,
                     bool realTime) {
    SwrContext* raw = nullptr;
    // The library only reads the layouts; its declaration lacks the const.
    if (swr_alloc_set_opts2(&raw, const_cast<AVChannelLayout*>(outLayout), outFormat, outRate,
                            const_cast<AVChannelLayout*>(inLayout), inFormat, inRate, 0,
                            nullptr) < 0)
        return nullptr;
    SwrPtr swr(raw);
    if (!realTime)
        av_opt_set_int(swr.get(), "filter_size", 64, 0);
    // Mono to stereo copies the channel to both sides and stereo to mono averages them, at the
    // level of the source; the library's default matrix would lower the level by 3 dB.
    const int inChannels = inLayout->nb_channels;
    const int outChannels = outLayout->nb_channels;
    if (inChannels == 1 && outChannels == 2) {
        const double matrix[2] = {1.0, 1.0};
        swr_set_matrix(swr.get(), matrix, 1);
    } else if (inChannels == 2 && outChannels == 1) {
        const double matrix[2] = {0.5, 0.5};
        swr_set_matrix(swr.get(), matrix, 2);
    }
    if (swr_init(swr.get()) < 0)
        return nullptr;
    return swr;
}

// A growing byte queue for decoded output that did not fit the caller's buffer.
class ByteQueue {
public:
    void Reserve(std::size_t bytes) { buffer_.resize(std::max(buffer_.size(), bytes)); }
    std::size_t Size() const { return end_ - start_; }
    // Room for bytes at the end; grows only when the reserved size is not enough.
    uint8_t* Room(std::size_t bytes) {
        if (buffer_.size() - end_ < bytes) {
            std::memmove(buffer_.data(), buffer_.data() + start_, Size());
            end_ -= start_;
            start_ = 0;
            if (buffer_.size() - end_ < bytes)
                buffer_.resize(end_ + bytes);
        }
        return buffer_.data() + end_;
    }
    void Commit(std::size_t bytes) { end_ += bytes; }
    std::size_t Take(uint8_t* to, std::size_t bytes) {
        const std::size_t count = std::min(bytes, Size());
        std::memcpy(to, buffer_.data() + start_, count);
        start_ += count;
        if (start_ == end_)
            start_ = end_ = 0;
        return count;
    }
    void Clear() { start_ = end_ = 0; }

private:
    std::vector<uint8_t> buffer_;
    std::size_t start_ = 0;
    std::size_t end_ = 0;
};

// ---- the codec stream -----------------------------------------------------------------------

class CodecStream final : public AudioCodecStream {
public:
    static std::unique_ptr<CodecStream> Create(const WAVEFORMATEX& source,
                                               const WAVEFORMATEX& target, bool realTime,
                                               int32_t maxSourceBytes);

    int32_t OutputSize(int32_t sourceBytes) const override;
    bool Convert(const void* source, int32_t sourceBytes, void* output, int32_t outputBytes,
                 unsigned flags, Result& result) override;
    void Reset() override;

private:
    bool Open(const WAVEFORMATEX& source, const CodecChoice& choice, bool realTime,
              int32_t maxSourceBytes);
    bool Decode(const uint8_t* data, int32_t size);
    bool ReceiveFrames();
    bool AppendFrame(const AVFrame& frame);
    bool FlushResampler();
    bool Fail(int code) {
        SetLastError(code);
        return false;
    }

    CodecContextPtr context_;
    ParserPtr parser_;
    PacketPtr packet_;
    FramePtr frame_;
    SwrPtr swr_;
    Layout outLayout_;
    Layout swrInLayout_;
    AVSampleFormat swrInFormat_ = AV_SAMPLE_FMT_NONE;
    int swrInRate_ = 0;
    bool realTime_ = true;
    AVCodecID codecId_ = AV_CODEC_ID_NONE;
    Packets packets_ = Packets::Any;
    int outRate_ = 0;
    int outFrameBytes_ = 0;
    int32_t blockAlign_ = 1;
    int32_t packetCapacity_ = 0;
    int64_t framesPerBlock_ = 0; // Block and Any: frames one nBlockAlign block gives
    double framesPerByte_ = 0;   // Parsed: frames one source byte gives, generously
    ByteQueue queue_;
    bool drained_ = false; // the decoder has been drained and needs a flush to go on
    bool resamplerFlushed_ = false;
};

std::unique_ptr<CodecStream> CodecStream::Create(const WAVEFORMATEX& source,
                                                 const WAVEFORMATEX& target, bool realTime,
                                                 int32_t maxSourceBytes) {
    const CodecChoice choice = ChooseCodec(source);
    if (choice.id == AV_CODEC_ID_NONE || !ChannelsAndRateInRange(source))
        return nullptr;
    if (target.wFormatTag != WAVE_FORMAT_PCM || target.wBitsPerSample != 16 ||
        target.nChannels != source.nChannels || target.nSamplesPerSec != source.nSamplesPerSec)
        return nullptr;
    if (source.nBlockAlign == 0 && choice.packets == Packets::Block)
        return nullptr;
    std::unique_ptr<CodecStream> stream(new CodecStream());
    if (!stream->Open(source, choice, realTime, maxSourceBytes))
        return nullptr;
    return stream;
}

bool CodecStream::Open(const WAVEFORMATEX& source, const CodecChoice& choice, bool realTime,
                       int32_t maxSourceBytes) {
    QuietLibrary();
    const AVCodec* codec = avcodec_find_decoder(choice.id);
    if (codec == nullptr)
        return false;
    context_.reset(avcodec_alloc_context3(codec));
    packet_.reset(av_packet_alloc());
    frame_.reset(av_frame_alloc());
    if (!context_ || !packet_ || !frame_)
        return false;
    codecId_ = choice.id;
    packets_ = choice.packets;
    realTime_ = realTime;
    blockAlign_ = std::max<int32_t>(source.nBlockAlign, 1);

    AVCodecContext& context = *context_;
    context.sample_rate = static_cast<int>(source.nSamplesPerSec);
    AVChannelLayout declared = DeclaredLayout(source);
    outLayout_.Assign(declared);
    av_channel_layout_uninit(&context.ch_layout);
    av_channel_layout_copy(&context.ch_layout, &declared);
    av_channel_layout_uninit(&declared);
    context.block_align = source.nBlockAlign;
    context.bits_per_coded_sample = source.wBitsPerSample;
    context.bit_rate = static_cast<int64_t>(source.nAvgBytesPerSec) * 8;
    context.request_sample_fmt = AV_SAMPLE_FMT_S16;
    context.thread_count = 1; // decoding stays on the pulling thread
    // The format's extra bytes; WAVE_FORMAT_EXTENSIBLE keeps its own extension for itself.
    const int extraOffset = IsExtensible(source) ? ExtensibleSize : 0;
    const int extraSize = source.cbSize - extraOffset;
    if (extraSize > 0) {
        context.extradata = static_cast<uint8_t*>(
            av_mallocz(static_cast<std::size_t>(extraSize) + AV_INPUT_BUFFER_PADDING_SIZE));
        if (context.extradata == nullptr)
            return false;
        std::memcpy(context.extradata, ExtraBytes(source) + extraOffset,
                    static_cast<std::size_t>(extraSize));
        context.extradata_size = extraSize;
    }
    if (const int code = avcodec_open2(&context, codec, nullptr); code < 0)
        return Fail(code);
    if (packets_ == Packets::Parsed) {
        parser_.reset(av_parser_init(choice.id));
        if (!parser_)
            return false;
    }

    outRate_ = static_cast<int>(source.nSamplesPerSec);
    outFrameBytes_ = 2 * source.nChannels;

    // Output estimates: what one block gives, or for parsed streams what one byte gives at the
    // lowest bit rate the format allows for (at least twice the stated average).
    ParametersPtr parameters(avcodec_parameters_alloc());
    if (!parameters || avcodec_parameters_from_context(parameters.get(), &context) < 0)
        return false;
    if (packets_ == Packets::Parsed) {
        framesPerByte_ = source.nAvgBytesPerSec > 0
                             ? 2.0 * source.nSamplesPerSec / source.nAvgBytesPerSec
                             : 24.0;
        framesPerByte_ = std::clamp(framesPerByte_, 1.0, 64.0);
    } else {
        framesPerBlock_ = av_get_audio_frame_duration2(parameters.get(), blockAlign_);
        if (framesPerBlock_ <= 0)
            framesPerBlock_ = source.nAvgBytesPerSec > 0
                                  ? static_cast<int64_t>(blockAlign_) * source.nSamplesPerSec /
                                            source.nAvgBytesPerSec +
                                        1
                                  : int64_t{2} * blockAlign_;
        framesPerBlock_ = std::clamp<int64_t>(framesPerBlock_, 1, 1 << 20);
    }

    const int32_t maxInput = std::max<int32_t>(maxSourceBytes, 1) + blockAlign_;
    packetCapacity_ = packets_ == Packets::Block ? blockAlign_ : maxInput;
    if (av_new_packet(packet_.get(), packetCapacity_) < 0)
        return false;
    // The resampler for the decoder's own sample format is made now, not at the first frame.
    if (context.sample_fmt != AV_SAMPLE_FMT_NONE && context.sample_rate > 0 &&
        context.ch_layout.nb_channels > 0 &&
        (context.sample_fmt != AV_SAMPLE_FMT_S16 || context.sample_rate != outRate_ ||
         context.ch_layout.nb_channels != outLayout_.get()->nb_channels)) {
        swr_ = OpenResampler(outLayout_.get(), AV_SAMPLE_FMT_S16, outRate_, &context.ch_layout,
                             context.sample_fmt, context.sample_rate, realTime_);
        if (!swr_)
            return false;
        swrInFormat_ = context.sample_fmt;
        swrInRate_ = context.sample_rate;
        swrInLayout_.Assign(context.ch_layout);
    }
    // Room for one call's output and a large decoded frame besides.
    queue_.Reserve(static_cast<std::size_t>(OutputSize(maxInput)) +
                   static_cast<std::size_t>(8192 * outFrameBytes_));
    return true;
}

int32_t CodecStream::OutputSize(int32_t sourceBytes) const {
    const int64_t bytes = std::max<int32_t>(sourceBytes, 0);
    int64_t frames = 0;
    if (packets_ == Packets::Parsed)
        frames = static_cast<int64_t>(static_cast<double>(bytes) * framesPerByte_) + 4608;
    else
        frames = (bytes / blockAlign_ + 1) * framesPerBlock_;
    return ClampBytes(frames * outFrameBytes_);
}

bool CodecStream::Decode(const uint8_t* data, int32_t size) {
    if (size <= 0)
        return true; // an empty packet would mean the end of the stream to the decoder
    // The packet's own buffer is reused while the decoder holds no reference to it, so sending
    // a packet copies nothing and allocates nothing.
    if (packet_->buf == nullptr || !av_buffer_is_writable(packet_->buf) ||
        packet_->buf->size < static_cast<std::size_t>(size) + AV_INPUT_BUFFER_PADDING_SIZE) {
        av_packet_unref(packet_.get());
        if (av_new_packet(packet_.get(), std::max(size, packetCapacity_)) < 0)
            return Fail(AVERROR(ENOMEM));
    }
    std::memcpy(packet_->data, data, static_cast<std::size_t>(size));
    std::memset(packet_->data + size, 0, AV_INPUT_BUFFER_PADDING_SIZE);
    packet_->size = size;
    int code = avcodec_send_packet(context_.get(), packet_.get());
    if (code == AVERROR(EAGAIN)) {
        if (!ReceiveFrames())
            return false;
        code = avcodec_send_packet(context_.get(), packet_.get());
    }
    if (code == AVERROR(ENOMEM))
        return Fail(code);
    // Any other refusal is damaged data: the packet is skipped.
    return ReceiveFrames();
}

bool CodecStream::ReceiveFrames() {
    for (;;) {
        const int code = avcodec_receive_frame(context_.get(), frame_.get());
        if (code == AVERROR(EAGAIN) || code == AVERROR_EOF)
            return true;
        if (code == AVERROR(ENOMEM))
            return Fail(code);
        if (code < 0)
            return true; // a frame that does not decode is skipped
        const bool appended = AppendFrame(*frame_);
        av_frame_unref(frame_.get());
        if (!appended)
            return false;
    }
}

bool CodecStream::AppendFrame(const AVFrame& frame) {
    if (frame.nb_samples <= 0 || frame.ch_layout.nb_channels <= 0)
        return true;
    const auto format = static_cast<AVSampleFormat>(frame.format);
    const int rate = frame.sample_rate > 0 ? frame.sample_rate : outRate_;
    if (format == AV_SAMPLE_FMT_S16 && rate == outRate_ &&
        frame.ch_layout.nb_channels == outLayout_.get()->nb_channels && !swr_) {
        const std::size_t bytes = static_cast<std::size_t>(frame.nb_samples) * outFrameBytes_;
        std::memcpy(queue_.Room(bytes), frame.data[0], bytes);
        queue_.Commit(bytes);
        return true;
    }
    // Other sample formats, layouts or rates go through the resampler, which is opened again
    // only when the stream changes them.
    if (!swr_ || format != swrInFormat_ || rate != swrInRate_ ||
        !(swrInLayout_ == frame.ch_layout)) {
        if (swr_ && !FlushResampler())
            return false;
        swr_ = OpenResampler(outLayout_.get(), AV_SAMPLE_FMT_S16, outRate_, &frame.ch_layout,
                             format, rate, realTime_);
        if (!swr_)
            return Fail(AVERROR(EINVAL));
        swrInFormat_ = format;
        swrInRate_ = rate;
        swrInLayout_.Assign(frame.ch_layout);
        resamplerFlushed_ = false;
    }
    const int room = swr_get_out_samples(swr_.get(), frame.nb_samples);
    if (room < 0)
        return Fail(room);
    uint8_t* out = queue_.Room(static_cast<std::size_t>(room) * outFrameBytes_);
    const int got = swr_convert(swr_.get(), &out, room,
                                const_cast<const uint8_t**>(frame.extended_data), frame.nb_samples);
    if (got < 0)
        return Fail(got);
    queue_.Commit(static_cast<std::size_t>(got) * outFrameBytes_);
    return true;
}

bool CodecStream::FlushResampler() {
    // Only a resampler holds samples back; a change of sample format or layout holds none.
    if (!swr_ || resamplerFlushed_ || swrInRate_ == outRate_)
        return true;
    for (;;) {
        const int room = std::max(swr_get_out_samples(swr_.get(), 0), 256);
        uint8_t* out = queue_.Room(static_cast<std::size_t>(room) * outFrameBytes_);
        const int got = swr_convert(swr_.get(), &out, room, nullptr, 0);
        if (got < 0)
            return Fail(got);
        queue_.Commit(static_cast<std::size_t>(got) * outFrameBytes_);
        if (got < room)
            break;
    }
    resamplerFlushed_ = true;
    return true;
}

bool CodecStream::Convert(const void* source, int32_t sourceBytes, void* output,
                          int32_t outputBytes, unsigned flags, Result& result) {
    result = {};
    const bool end = (flags & ConvertEnd) != 0;
    const bool wholeBlocks = (flags & ConvertBlockAlign) != 0 && !end;
    if (drained_ && !end) {
        // New input after a drained end: the decoder goes on from a clean state.
        avcodec_flush_buffers(context_.get());
        if (swr_ && resamplerFlushed_ && swr_init(swr_.get()) < 0)
            return Fail(AVERROR(EINVAL));
        resamplerFlushed_ = false;
        drained_ = false;
    }
    const auto* in = static_cast<const uint8_t*>(source);
    int32_t left = source != nullptr ? std::max(sourceBytes, 0) : 0;
    bool ok = true;
    if (!drained_) {
        switch (packets_) {
        case Packets::Block:
            while (ok && left >= blockAlign_) {
                ok = Decode(in, blockAlign_);
                in += blockAlign_;
                left -= blockAlign_;
            }
            if (ok && !wholeBlocks && left > 0) {
                ok = Decode(in, left);
                in += left;
                left = 0;
            }
            break;
        case Packets::Any: {
            const int32_t step =
                std::max(packetCapacity_ - packetCapacity_ % blockAlign_, blockAlign_);
            while (ok && left >= blockAlign_) {
                int32_t piece = std::min(left, step);
                piece -= piece % blockAlign_;
                ok = Decode(in, piece);
                in += piece;
                left -= piece;
            }
            if (ok && !wholeBlocks && left > 0) {
                ok = Decode(in, left);
                in += left;
                left = 0;
            }
            break;
        }
        case Packets::Parsed:
            while (ok && left > 0) {
                uint8_t* frameData = nullptr;
                int frameSize = 0;
                const int used =
                    av_parser_parse2(parser_.get(), context_.get(), &frameData, &frameSize, in,
                                     left, AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
                if (used < 0)
                    break;
                in += used;
                left -= used;
                if (frameSize > 0)
                    ok = Decode(frameData, frameSize);
                else if (used == 0)
                    break;
            }
            if (ok && end) {
                for (int guard = 0; guard < 16; ++guard) {
                    uint8_t* frameData = nullptr;
                    int frameSize = 0;
                    av_parser_parse2(parser_.get(), context_.get(), &frameData, &frameSize, nullptr,
                                     0, AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
                    if (frameSize <= 0)
                        break;
                    ok = Decode(frameData, frameSize);
                }
            }
            // The parser keeps what it has not framed yet; nothing is handed back.
            left = 0;
            break;
        }
        if (ok && end) {
            if (avcodec_send_packet(context_.get(), nullptr) >= 0)
                ok = ReceiveFrames();
            if (ok)
                ok = FlushResampler();
            drained_ = true;
        }
    }
    result.consumed =
        source != nullptr ? static_cast<int32_t>(in - static_cast<const uint8_t*>(source)) : 0;
    const int32_t room = std::max(outputBytes, 0) - std::max(outputBytes, 0) % outFrameBytes_;
    result.produced = static_cast<int32_t>(
        queue_.Take(static_cast<uint8_t*>(output), static_cast<std::size_t>(room)));
    result.pending = queue_.Size() > 0;
    return ok;
}

void CodecStream::Reset() {
    avcodec_flush_buffers(context_.get());
    if (parser_)
        parser_.reset(av_parser_init(codecId_));
    // A resampler forgets its history by starting again; without one there is none.
    if (swr_ && swrInRate_ != outRate_)
        swr_init(swr_.get());
    resamplerFlushed_ = false;
    queue_.Clear();
    drained_ = false;
}

// ---- the PCM stream -------------------------------------------------------------------------

AVSampleFormat SampleFormatFor(int bits) {
    switch (bits) {
    case 8:
        return AV_SAMPLE_FMT_U8;
    case 16:
        return AV_SAMPLE_FMT_S16;
    default:
        return AV_SAMPLE_FMT_S32; // 24-bit samples travel as the top bytes of 32-bit ones
    }
}

class PcmStream final : public AudioCodecStream {
public:
    static std::unique_ptr<PcmStream> Create(const WAVEFORMATEX& source, const WAVEFORMATEX& target,
                                             bool realTime, int32_t maxSourceBytes);

    int32_t OutputSize(int32_t sourceBytes) const override;
    bool Convert(const void* source, int32_t sourceBytes, void* output, int32_t outputBytes,
                 unsigned flags, Result& result) override;
    void Reset() override;

private:
    bool Restart();
    // Converts frames of in (nullptr: the resampler's tail) into room frames of out; returns
    // the frames written or a library error.
    int Resample(const uint8_t* in, int32_t frames, uint8_t* out, int32_t room);

    SwrPtr swr_;
    int inBits_ = 16, outBits_ = 16;
    int inFrameBytes_ = 0, outFrameBytes_ = 0;
    int inChannels_ = 0, outChannels_ = 0;
    int64_t inRate_ = 0, outRate_ = 0;
    int32_t pieceFrames_ = 0;
    std::vector<int32_t> unpacked_; // 24-bit input as 32-bit samples
    std::vector<int32_t> toPack_;   // 32-bit samples on their way to 24-bit output
    int32_t toPackFrames_ = 0;
    bool flushing_ = false; // the resampler has been asked to give out its tail
};

std::unique_ptr<PcmStream> PcmStream::Create(const WAVEFORMATEX& source, const WAVEFORMATEX& target,
                                             bool realTime, int32_t maxSourceBytes) {
    if (!IsStreamPcm(source) || !IsStreamPcm(target))
        return nullptr;
    QuietLibrary();
    std::unique_ptr<PcmStream> stream(new PcmStream());
    PcmStream& s = *stream;
    s.inBits_ = source.wBitsPerSample;
    s.outBits_ = target.wBitsPerSample;
    s.inChannels_ = source.nChannels;
    s.outChannels_ = target.nChannels;
    s.inFrameBytes_ = source.nBlockAlign;
    s.outFrameBytes_ = target.nBlockAlign;
    s.inRate_ = source.nSamplesPerSec;
    s.outRate_ = target.nSamplesPerSec;
    AVChannelLayout inLayout{};
    AVChannelLayout outLayout{};
    av_channel_layout_default(&inLayout, source.nChannels);
    av_channel_layout_default(&outLayout, target.nChannels);
    s.swr_ =
        OpenResampler(&outLayout, SampleFormatFor(s.outBits_), static_cast<int>(s.outRate_),
                      &inLayout, SampleFormatFor(s.inBits_), static_cast<int>(s.inRate_), realTime);
    av_channel_layout_uninit(&inLayout);
    av_channel_layout_uninit(&outLayout);
    if (!s.swr_)
        return nullptr;
    s.pieceFrames_ = std::clamp<int32_t>(std::max(maxSourceBytes, 1) / s.inFrameBytes_, 1, 1 << 16);
    if (s.inBits_ == 24)
        s.unpacked_.resize(static_cast<std::size_t>(s.pieceFrames_) * s.inChannels_);
    if (s.outBits_ == 24) {
        s.toPackFrames_ = s.OutputSize(s.pieceFrames_ * s.inFrameBytes_) / s.outFrameBytes_;
        s.toPack_.resize(static_cast<std::size_t>(s.toPackFrames_) * s.outChannels_);
    }
    return stream;
}

int32_t PcmStream::OutputSize(int32_t sourceBytes) const {
    // The resampler holds back up to its filter length of input; the margins cover the longest
    // filter of a 384000 to 1000 Hz conversion.
    const int64_t frames = std::max<int32_t>(sourceBytes, 0) / inFrameBytes_;
    const int64_t outFrames = ((frames + 256) * outRate_ + inRate_ - 1) / inRate_ + 256;
    return ClampBytes(outFrames * outFrameBytes_);
}

bool PcmStream::Restart() {
    flushing_ = false;
    // Without a rate change the library keeps no samples, and a flush leaves no state behind.
    if (inRate_ == outRate_)
        return true;
    if (swr_init(swr_.get()) < 0) {
        SetLastError(AVERROR(EINVAL));
        return false;
    }
    return true;
}

int PcmStream::Resample(const uint8_t* in, int32_t frames, uint8_t* out, int32_t room) {
    if (in != nullptr && inBits_ == 24) {
        const int32_t samples = frames * inChannels_;
        for (int32_t i = 0; i < samples; ++i, in += 3)
            unpacked_[static_cast<std::size_t>(i)] = static_cast<int32_t>(
                static_cast<uint32_t>(in[0]) << 8 | static_cast<uint32_t>(in[1]) << 16 |
                static_cast<uint32_t>(in[2]) << 24);
        in = reinterpret_cast<const uint8_t*>(unpacked_.data());
    }
    if (outBits_ != 24)
        return swr_convert(swr_.get(), &out, room, in != nullptr ? &in : nullptr, frames);
    auto* wide = reinterpret_cast<uint8_t*>(toPack_.data());
    const int got = swr_convert(swr_.get(), &wide, std::min(room, toPackFrames_),
                                in != nullptr ? &in : nullptr, frames);
    for (int32_t i = 0; i < got * outChannels_; ++i, out += 3) {
        const auto sample = static_cast<uint32_t>(toPack_[static_cast<std::size_t>(i)]);
        out[0] = static_cast<uint8_t>(sample >> 8);
        out[1] = static_cast<uint8_t>(sample >> 16);
        out[2] = static_cast<uint8_t>(sample >> 24);
    }
    return got;
}

bool PcmStream::Convert(const void* source, int32_t sourceBytes, void* output, int32_t outputBytes,
                        unsigned flags, Result& result) {
    result = {};
    const bool end = (flags & ConvertEnd) != 0;
    const auto* in = static_cast<const uint8_t*>(source);
    auto* out = static_cast<uint8_t*>(output);
    int32_t inFrames = source != nullptr ? std::max(sourceBytes, 0) / inFrameBytes_ : 0;
    // Input after the tail was given out starts a new stream.
    if (flushing_ && (!end || inFrames > 0) && !Restart())
        return false;
    int32_t room = std::max(outputBytes, 0) / outFrameBytes_;
    while (!flushing_ && inFrames > 0 && room > 0) {
        int32_t piece = std::min(inFrames, pieceFrames_);
        // Only as much input as the output has room for; the rest is handed back.
        while (piece > 0 && swr_get_out_samples(swr_.get(), piece) > room)
            piece /= 2;
        if (piece == 0)
            break;
        const int got = Resample(in, piece, out, room);
        if (got < 0) {
            SetLastError(got);
            return false;
        }
        in += static_cast<std::ptrdiff_t>(piece) * inFrameBytes_;
        out += static_cast<std::ptrdiff_t>(got) * outFrameBytes_;
        inFrames -= piece;
        room -= got;
        result.consumed += piece * inFrameBytes_;
        result.produced += got * outFrameBytes_;
    }
    if (end && inFrames == 0) {
        // A partial frame at the end is dropped; then the resampler's tail comes out.
        result.consumed = source != nullptr ? std::max(sourceBytes, 0) : 0;
        flushing_ = true;
        const int got = room > 0 ? Resample(nullptr, 0, out, room) : 0;
        if (got < 0) {
            SetLastError(got);
            return false;
        }
        result.produced += got * outFrameBytes_;
        // Output that filled the room may have more behind it.
        const int32_t limit = outBits_ == 24 ? std::min(room, toPackFrames_) : room;
        result.pending = got > 0 && got == limit;
    }
    return true;
}

void PcmStream::Reset() {
    Restart();
}

} // namespace

// ---- the service ----------------------------------------------------------------------------

void AudioCodecStream::SetLastError(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    lastError_ = text;
}

uint16_t EffectiveFormatTag(const WAVEFORMATEX& format) {
    if (format.wFormatTag != WAVE_FORMAT_EXTENSIBLE)
        return format.wFormatTag;
    if (!IsExtensible(format))
        return WAVE_FORMAT_UNKNOWN;
    const uint8_t* guid = ExtraBytes(format) + 6;
    if (!std::equal(TagGuidTail.begin(), TagGuidTail.end(), guid + 2))
        return WAVE_FORMAT_UNKNOWN;
    return ReadU16(guid);
}

bool AudioCodecSuggest(const WAVEFORMATEX& format, WAVEFORMATEX& suggested, unsigned fixed) {
    if ((fixed & SuggestTag) != 0 && suggested.wFormatTag != WAVE_FORMAT_PCM)
        return false; // this service decodes; it has no encoders
    WAVEFORMATEX result{};
    if (format.wFormatTag == WAVE_FORMAT_PCM) {
        if (!IsStreamPcm(format))
            return false;
        const auto bits =
            (fixed & SuggestBits) != 0 ? suggested.wBitsPerSample : format.wBitsPerSample;
        const auto channels =
            (fixed & SuggestChannels) != 0 ? suggested.nChannels : format.nChannels;
        const auto rate =
            (fixed & SuggestSampleRate) != 0 ? suggested.nSamplesPerSec : format.nSamplesPerSec;
        FillPcm(result, bits, channels, rate);
        if (!IsStreamPcm(result))
            return false;
    } else {
        // A codec decodes to 16 bits at its own rate and channel count, and to nothing else.
        const CodecChoice choice = ChooseCodec(format);
        if (choice.id == AV_CODEC_ID_NONE || avcodec_find_decoder(choice.id) == nullptr ||
            !ChannelsAndRateInRange(format))
            return false;
        if (((fixed & SuggestBits) != 0 && suggested.wBitsPerSample != 16) ||
            ((fixed & SuggestChannels) != 0 && suggested.nChannels != format.nChannels) ||
            ((fixed & SuggestSampleRate) != 0 && suggested.nSamplesPerSec != format.nSamplesPerSec))
            return false;
        FillPcm(result, 16, format.nChannels, format.nSamplesPerSec);
    }
    suggested = result;
    return true;
}

bool AudioCodecCanOpen(const WAVEFORMATEX& source, const WAVEFORMATEX& target, bool realTime) {
    return AudioCodecStream::Open(source, target, realTime, 4096) != nullptr;
}

std::unique_ptr<AudioCodecStream> AudioCodecStream::Open(const WAVEFORMATEX& source,
                                                         const WAVEFORMATEX& target, bool realTime,
                                                         int32_t maxSourceBytes) {
    if (source.wFormatTag == WAVE_FORMAT_PCM)
        return PcmStream::Create(source, target, realTime, maxSourceBytes);
    return CodecStream::Create(source, target, realTime, maxSourceBytes);
}

} // namespace platform
