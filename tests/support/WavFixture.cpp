#include "support/WavFixture.h"

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <unistd.h>

namespace testsupport {

namespace {
void Put32(std::vector<uint8_t>& out, uint32_t value) {
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}
void PutId(std::vector<uint8_t>& out, const char* id) {
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<uint8_t>(id[i]));
}
} // namespace

RiffBuilder::RiffBuilder(const char* formType) : formType_(formType) {}

RiffBuilder& RiffBuilder::Chunk(const char* id, const std::vector<uint8_t>& data,
                                int64_t declaredSize, bool pad) {
    PutId(body_, id);
    Put32(body_, static_cast<uint32_t>(declaredSize >= 0 ? declaredSize
                                                         : static_cast<int64_t>(data.size())));
    body_.insert(body_.end(), data.begin(), data.end());
    if (pad && data.size() % 2 != 0)
        body_.push_back(0);
    return *this;
}

RiffBuilder& RiffBuilder::Format(const WAVEFORMATEX& format, const std::vector<uint8_t>& extra) {
    std::vector<uint8_t> bytes(sizeof(WAVEFORMATEX));
    std::memcpy(bytes.data(), &format, sizeof(WAVEFORMATEX));
    if (format.wFormatTag == WAVE_FORMAT_PCM && extra.empty())
        bytes.resize(16); // the usual 16-byte PCM chunk
    bytes.insert(bytes.end(), extra.begin(), extra.end());
    return Chunk("fmt ", bytes);
}

RiffBuilder& RiffBuilder::Raw(const std::vector<uint8_t>& bytes) {
    body_.insert(body_.end(), bytes.begin(), bytes.end());
    return *this;
}

std::vector<uint8_t> RiffBuilder::Build(int64_t riffSize) const {
    std::vector<uint8_t> out;
    PutId(out, "RIFF");
    Put32(out,
          static_cast<uint32_t>(riffSize >= 0 ? riffSize : static_cast<int64_t>(body_.size() + 4)));
    PutId(out, formType_.c_str());
    out.insert(out.end(), body_.begin(), body_.end());
    return out;
}

WAVEFORMATEX PcmFormat(uint16_t channels, uint32_t rate, uint16_t bits) {
    WAVEFORMATEX format{};
    format.wFormatTag = WAVE_FORMAT_PCM;
    format.nChannels = channels;
    format.nSamplesPerSec = rate;
    format.wBitsPerSample = bits;
    format.nBlockAlign = static_cast<uint16_t>(channels * bits / 8);
    format.nAvgBytesPerSec = rate * format.nBlockAlign;
    return format;
}

std::vector<uint8_t> RampBytes(std::size_t count, uint32_t seed) {
    std::vector<uint8_t> bytes(count);
    uint32_t state = seed * 2654435761u + 1;
    for (std::size_t i = 0; i < count; ++i) {
        state = state * 1664525u + 1013904223u;
        bytes[i] = static_cast<uint8_t>((i & 0xFF) ^ (state >> 24));
    }
    return bytes;
}

std::vector<uint8_t> MakeWave(const WAVEFORMATEX& format, const std::vector<uint8_t>& data) {
    return RiffBuilder().Format(format).Chunk("data", data).Build();
}

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tessaro-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("cannot create a temporary folder");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::Write(const std::string& name, const std::vector<uint8_t>& bytes) const {
    const auto path = Path(name);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    if (!out)
        throw std::runtime_error("cannot write " + path.string());
    return path.string();
}

std::vector<uint8_t> ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

} // namespace testsupport
