// Small RIFF WAVE fixtures made in the test from known signals and crafted chunk lists.
#pragma once

#include "platform/MMSystem.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace testsupport {

// Builds a RIFF file chunk by chunk; sizes can be written wrong on purpose.
class RiffBuilder {
public:
    explicit RiffBuilder(const char* formType = "WAVE");
    // Appends a chunk; declaredSize overrides the size field (the data written stays `data`).
    RiffBuilder& Chunk(const char* id, const std::vector<uint8_t>& data, int64_t declaredSize = -1,
                       bool pad = true);
    RiffBuilder& Format(const WAVEFORMATEX& format, const std::vector<uint8_t>& extra = {});
    RiffBuilder& Raw(const std::vector<uint8_t>& bytes); // bytes after the last chunk
    // The file image; riffSize overrides the RIFF size field (default: the true size).
    std::vector<uint8_t> Build(int64_t riffSize = -1) const;

private:
    std::string formType_;
    std::vector<uint8_t> body_;
};

WAVEFORMATEX PcmFormat(uint16_t channels, uint32_t rate, uint16_t bits);

// A counting ramp: byte i of the data is a pattern that finds dropped or repeated bytes.
std::vector<uint8_t> RampBytes(std::size_t count, uint32_t seed = 0);

// A canonical PCM wave file image holding `data`.
std::vector<uint8_t> MakeWave(const WAVEFORMATEX& format, const std::vector<uint8_t>& data);

// A temporary folder removed with the object.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::filesystem::path Path(const std::string& name) const { return path_ / name; }
    std::string Write(const std::string& name, const std::vector<uint8_t>& bytes) const;

private:
    std::filesystem::path path_;
};

std::vector<uint8_t> ReadFile(const std::filesystem::path& path);

} // namespace testsupport
