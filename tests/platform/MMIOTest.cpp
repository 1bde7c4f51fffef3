#include "platform/MMIO.h"
#include "support/WavFixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <sys/stat.h>

using testsupport::ReadFile;
using testsupport::RiffBuilder;
using testsupport::TempDir;

namespace {

std::vector<uint8_t> Bytes(const std::string& text) {
    return {text.begin(), text.end()};
}

std::vector<uint8_t> Concat(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// A sub-chunk inside a LIST body: id, size, data and its pad byte.
std::vector<uint8_t> SubChunk(const char* id, const std::vector<uint8_t>& data) {
    std::vector<uint8_t> out = Bytes(std::string(id, 4));
    const auto size = static_cast<uint32_t>(data.size());
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<uint8_t>(size >> (8 * i)));
    out.insert(out.end(), data.begin(), data.end());
    if (data.size() % 2 != 0)
        out.push_back(0);
    return out;
}

// RIFF WAVE { "aaaa"(3 bytes, padded) LIST INFO { INAM(5 bytes, padded) } "bbbb"(2 bytes) }.
std::vector<uint8_t> NestedImage() {
    return RiffBuilder()
        .Chunk("aaaa", {1, 2, 3})
        .Chunk("LIST", Concat(Bytes("INFO"), SubChunk("INAM", Bytes("Names"))))
        .Chunk("bbbb", {4, 5})
        .Build();
}

struct Source {
    const char* name;
    bool memory;
    int32_t bufferSize;
};

const Source Sources[] = {
    {"file, default buffer", false, MMIOFile::DefaultBufferSize},
    {"file, 1-byte buffer", false, 1},
    {"file, 7-byte buffer", false, 7},
    {"file, unbuffered", false, 0},
    {"memory, 7-byte buffer", true, 7},
};

std::unique_ptr<MMIOFile> OpenSource(const Source& source, const TempDir& dir,
                                     const std::vector<uint8_t>& image) {
    auto file = source.memory ? MMIOFile::OpenMemory(image.data(), image.size())
                              : MMIOFile::Open(dir.Write("image.bin", image), MMIOMode::Read);
    if (file != nullptr) {
        EXPECT_EQ(file->SetBuffer(source.bufferSize), MMIOERR_OK);
    }
    return file;
}

} // namespace

TEST(MMIOChunks, DescendAndAscendWalkNestedChunksOnEvenOffsets) {
    TempDir dir;
    const auto image = NestedImage();
    for (const Source& source : Sources) {
        SCOPED_TRACE(source.name);
        auto file = OpenSource(source, dir, image);
        ASSERT_NE(file, nullptr);

        MMCKINFO riff{};
        ASSERT_EQ(file->Descend(riff, nullptr, 0), MMIOERR_OK);
        EXPECT_EQ(riff.ckid, mmioFOURCC('R', 'I', 'F', 'F'));
        EXPECT_EQ(riff.fccType, mmioFOURCC('W', 'A', 'V', 'E'));
        EXPECT_EQ(riff.dwDataOffset, 8u);
        EXPECT_EQ(riff.cksize, image.size() - 8);
        EXPECT_EQ(file->Position(), 12);

        MMCKINFO odd{};
        ASSERT_EQ(file->Descend(odd, &riff, 0), MMIOERR_OK);
        EXPECT_EQ(odd.ckid, mmioFOURCC('a', 'a', 'a', 'a'));
        EXPECT_EQ(odd.cksize, 3u);
        EXPECT_EQ(odd.dwDataOffset, 20u);
        uint8_t data[3] = {};
        EXPECT_EQ(file->Read(data, 3), 3);
        EXPECT_EQ(data[2], 3);
        ASSERT_EQ(file->Ascend(odd), MMIOERR_OK);
        EXPECT_EQ(file->Position(), 24); // behind the pad byte

        MMCKINFO list{};
        ASSERT_EQ(file->Descend(list, &riff, 0), MMIOERR_OK);
        EXPECT_EQ(list.ckid, mmioFOURCC('L', 'I', 'S', 'T'));
        EXPECT_EQ(list.fccType, mmioFOURCC('I', 'N', 'F', 'O'));
        EXPECT_EQ(list.dwDataOffset, 32u); // the list type is part of the data
        EXPECT_EQ(file->Position(), 36);

        MMCKINFO name{};
        ASSERT_EQ(file->Descend(name, &list, 0), MMIOERR_OK);
        EXPECT_EQ(name.ckid, mmioFOURCC('I', 'N', 'A', 'M'));
        EXPECT_EQ(name.dwDataOffset, 44u);
        ASSERT_EQ(file->Ascend(name), MMIOERR_OK);
        EXPECT_EQ(file->Position(), 50);
        MMCKINFO none{};
        EXPECT_EQ(file->Descend(none, &list, 0), MMIOERR_CHUNKNOTFOUND); // at the list's end
        ASSERT_EQ(file->Ascend(list), MMIOERR_OK);

        MMCKINFO last{};
        ASSERT_EQ(file->Descend(last, &riff, 0), MMIOERR_OK);
        EXPECT_EQ(last.ckid, mmioFOURCC('b', 'b', 'b', 'b'));
        ASSERT_EQ(file->Ascend(last), MMIOERR_OK);
        EXPECT_EQ(file->Position(), static_cast<int64_t>(image.size()));
        EXPECT_EQ(file->Descend(none, &riff, 0), MMIOERR_CHUNKNOTFOUND);
        EXPECT_EQ(file->Descend(none, nullptr, 0), MMIOERR_CHUNKNOTFOUND);
    }
}

TEST(MMIOChunks, FindFlagsScanForwardOverSiblings) {
    TempDir dir;
    const auto image = NestedImage();
    auto file = OpenSource(Sources[0], dir, image);
    ASSERT_NE(file, nullptr);

    MMCKINFO riff{};
    riff.fccType = mmioFOURCC('A', 'V', 'I', ' ');
    EXPECT_EQ(file->Descend(riff, nullptr, MMIO_FINDRIFF), MMIOERR_CHUNKNOTFOUND);
    file->Seek(0, SEEK_SET);
    riff.fccType = mmioFOURCC('W', 'A', 'V', 'E');
    ASSERT_EQ(file->Descend(riff, nullptr, MMIO_FINDRIFF), MMIOERR_OK);

    MMCKINFO last{};
    last.ckid = mmioFOURCC('b', 'b', 'b', 'b');
    ASSERT_EQ(file->Descend(last, &riff, MMIO_FINDCHUNK), MMIOERR_OK);
    EXPECT_EQ(last.cksize, 2u);
    EXPECT_EQ(last.dwDataOffset, 58u);

    file->Seek(12, SEEK_SET);
    MMCKINFO list{};
    list.fccType = mmioFOURCC('I', 'N', 'F', 'O');
    ASSERT_EQ(file->Descend(list, &riff, MMIO_FINDLIST), MMIOERR_OK);
    EXPECT_EQ(list.dwDataOffset, 32u);

    file->Seek(12, SEEK_SET);
    MMCKINFO missing{};
    missing.ckid = mmioFOURCC('f', 'm', 't', ' ');
    EXPECT_EQ(file->Descend(missing, &riff, MMIO_FINDCHUNK), MMIOERR_CHUNKNOTFOUND);
    EXPECT_EQ(missing.ckid, mmioFOURCC('f', 'm', 't', ' ')); // a failed search keeps the request
}

TEST(MMIOChunks, BrokenSizesFailWithoutLeavingTheFile) {
    TempDir dir;
    struct Case {
        const char* name;
        std::vector<uint8_t> image;
        int descend; // entering the first chunk inside RIFF
        int ascend;  // leaving it (when entered)
    };
    const Case cases[] = {
        {"chunk declares more than the file holds",
         RiffBuilder().Chunk("big ", {1, 2, 3, 4}, 100).Build(), MMIOERR_OK, MMIOERR_CANNOTSEEK},
        {"odd chunk at the end without its pad byte",
         RiffBuilder().Chunk("odd ", {1, 2, 3}, -1, false).Build(), MMIOERR_OK, MMIOERR_CANNOTSEEK},
        {"chunk size near 4 GiB", RiffBuilder().Chunk("huge", {1, 2}, 0xFFFFFFFF).Build(),
         MMIOERR_OK, MMIOERR_CANNOTSEEK},
        {"5 header bytes left", RiffBuilder().Raw({'a', 'b', 'c', 'd', 1}).Build(),
         MMIOERR_CHUNKNOTFOUND, 0},
        {"LIST without its type",
         RiffBuilder().Raw({'L', 'I', 'S', 'T', 2, 0, 0, 0, 'a', 'b'}).Build(),
         MMIOERR_CHUNKNOTFOUND, 0},
        {"header outside a RIFF that declares 4 bytes",
         RiffBuilder().Chunk("data", {1, 2}).Build(4), MMIOERR_CHUNKNOTFOUND, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto file = OpenSource(Sources[0], dir, c.image);
        ASSERT_NE(file, nullptr);
        MMCKINFO riff{};
        ASSERT_EQ(file->Descend(riff, nullptr, 0), MMIOERR_OK);
        MMCKINFO chunk{};
        ASSERT_EQ(file->Descend(chunk, &riff, 0), c.descend);
        if (c.descend == MMIOERR_OK) {
            EXPECT_EQ(file->Ascend(chunk), c.ascend);
        }
        EXPECT_LE(file->Position(), file->Size());
    }
}

TEST(MMIOSeek, ReadOnlyFilesStayWithinTheirBytes) {
    TempDir dir;
    const auto image = testsupport::RampBytes(100);
    auto file = OpenSource(Sources[0], dir, image);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(file->Size(), 100);
    EXPECT_EQ(file->Seek(0, SEEK_END), 100);
    EXPECT_EQ(file->Seek(-10, SEEK_CUR), 90);
    EXPECT_EQ(file->Seek(101, SEEK_SET), -1);
    EXPECT_EQ(file->Seek(-1, SEEK_SET), -1);
    EXPECT_EQ(file->Seek(INT64_MAX, SEEK_CUR), -1);
    EXPECT_EQ(file->Position(), 90); // failed seeks do not move
    uint8_t buffer[20] = {};
    EXPECT_EQ(file->Read(buffer, 20), 10);
    EXPECT_EQ(std::memcmp(buffer, image.data() + 90, 10), 0);
    EXPECT_EQ(file->Read(buffer, 20), 0);
    EXPECT_EQ(file->Write(buffer, 1), -1);
    MMCKINFO chunk{};
    EXPECT_EQ(file->CreateChunk(chunk, 0), MMIOERR_CANNOTWRITE);
}

TEST(MMIOOpen, RefusesWhatIsNotARegularFile) {
    TempDir dir;
    const std::string fifo = dir.Path("fifo").string();
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(MMIOFile::Open(fifo, MMIOMode::Read), nullptr); // and does not wait for a writer
    EXPECT_EQ(MMIOFile::Open(dir.Path("").string(), MMIOMode::Read), nullptr);
    EXPECT_EQ(MMIOFile::Open(dir.Path("missing.wav").string(), MMIOMode::Read), nullptr);
}

// Random seeks and reads through buffers of awkward sizes must see exactly the file's bytes.
TEST(MMIORead, BufferedReadsAgreeWithTheFile) {
    TempDir dir;
    const auto image = testsupport::RampBytes(10007, 3);
    for (const Source& source : Sources) {
        SCOPED_TRACE(source.name);
        auto file = OpenSource(source, dir, image);
        ASSERT_NE(file, nullptr);
        uint32_t state = 12345;
        const auto next = [&state](uint32_t bound) {
            state = state * 1664525u + 1013904223u;
            return (state >> 8) % bound;
        };
        std::vector<uint8_t> buffer(9000);
        for (int i = 0; i < 400; ++i) {
            const auto at = static_cast<int64_t>(next(static_cast<uint32_t>(image.size() + 1)));
            // Mostly small reads (served by the buffer), now and then one larger than it.
            const auto count = static_cast<int32_t>(i % 10 == 0 ? next(9000) : next(40));
            ASSERT_EQ(file->Seek(at, SEEK_SET), at);
            const int64_t expected = std::min<int64_t>(count, image.size() - at);
            ASSERT_EQ(file->Read(buffer.data(), count), expected) << "at " << at;
            ASSERT_EQ(std::memcmp(buffer.data(), image.data() + at, expected), 0) << "at " << at;
            ASSERT_EQ(file->Position(), at + expected);
        }
    }
}

TEST(MMIOWrite, CreatedChunksGetTheirSizesAndPadBytes) {
    TempDir dir;
    const auto expected =
        RiffBuilder()
            .Chunk("odd ", {1, 2, 3})
            .Chunk("LIST", Concat(Bytes("INFO"), SubChunk("INAM", Bytes("Title"))))
            .Build();
    for (const int32_t bufferSize : {1, 7, 0, MMIOFile::DefaultBufferSize}) {
        SCOPED_TRACE(bufferSize);
        const std::string path = dir.Path("created.bin").string();
        auto file = MMIOFile::Open(path, MMIOMode::Create);
        ASSERT_NE(file, nullptr);
        ASSERT_EQ(file->SetBuffer(bufferSize), MMIOERR_OK);

        MMCKINFO riff{};
        riff.fccType = mmioFOURCC('W', 'A', 'V', 'E');
        ASSERT_EQ(file->CreateChunk(riff, MMIO_CREATERIFF), MMIOERR_OK);
        MMCKINFO odd{};
        odd.ckid = mmioFOURCC('o', 'd', 'd', ' ');
        ASSERT_EQ(file->CreateChunk(odd, 0), MMIOERR_OK);
        const uint8_t three[3] = {1, 2, 3};
        ASSERT_EQ(file->Write(three, 3), 3);
        ASSERT_EQ(file->Ascend(odd), MMIOERR_OK);
        EXPECT_EQ(odd.cksize, 3u);

        MMCKINFO list{};
        list.fccType = mmioFOURCC('I', 'N', 'F', 'O');
        ASSERT_EQ(file->CreateChunk(list, MMIO_CREATELIST), MMIOERR_OK);
        MMCKINFO name{};
        name.ckid = mmioFOURCC('I', 'N', 'A', 'M');
        ASSERT_EQ(file->CreateChunk(name, 0), MMIOERR_OK);
        ASSERT_EQ(file->Write("Title", 5), 5);
        ASSERT_EQ(file->Ascend(name), MMIOERR_OK);
        ASSERT_EQ(file->Ascend(list), MMIOERR_OK);
        ASSERT_EQ(file->Ascend(riff), MMIOERR_OK);

        // What is still in the buffer reads back through the same handle.
        std::vector<uint8_t> back(expected.size());
        ASSERT_EQ(file->Seek(0, SEEK_SET), 0);
        ASSERT_EQ(file->Read(back.data(), static_cast<int32_t>(back.size())),
                  static_cast<int32_t>(back.size()));
        EXPECT_EQ(back, expected);
        EXPECT_EQ(file->Size(), static_cast<int64_t>(expected.size()));

        // Overwrite inside the data, then append behind the end.
        ASSERT_EQ(file->Seek(20, SEEK_SET), 20);
        ASSERT_EQ(file->Write("\x09", 1), 1);
        ASSERT_EQ(file->Seek(0, SEEK_END), static_cast<int64_t>(expected.size()));
        ASSERT_EQ(file->Write("end", 3), 3);
        ASSERT_EQ(file->Flush(), MMIOERR_OK);
        file.reset();

        auto onDisk = expected;
        onDisk[20] = 9;
        onDisk.insert(onDisk.end(), {'e', 'n', 'd'});
        EXPECT_EQ(ReadFile(path), onDisk);
    }
}

// Reads and writes mixed at random through one handle must agree with a plain copy of the bytes,
// in the handle and on disk, whatever the buffer size.
TEST(MMIOWrite, MixedReadsAndWritesAgreeWithAModel) {
    TempDir dir;
    for (const int32_t bufferSize : {1, 7, 4095, 0}) {
        SCOPED_TRACE(bufferSize);
        const std::string path = dir.Path("mixed.bin").string();
        std::vector<uint8_t> model = testsupport::RampBytes(6000, 9);
        dir.Write("mixed.bin", model);
        auto file = MMIOFile::Open(path, MMIOMode::ReadWrite);
        ASSERT_NE(file, nullptr);
        ASSERT_EQ(file->SetBuffer(bufferSize), MMIOERR_OK);

        uint32_t state = 777;
        const auto next = [&state](uint32_t bound) {
            state = state * 1664525u + 1013904223u;
            return (state >> 8) % bound;
        };
        std::vector<uint8_t> buffer(10000);
        for (int i = 0; i < 2000; ++i) {
            // Every third access lands near the start, so buffer contents get reused and
            // overlapped.
            const auto at = static_cast<int64_t>(
                i % 3 == 0 ? next(64) : next(static_cast<uint32_t>(model.size() + 100)));
            const auto count = static_cast<int32_t>(i % 8 == 0 ? next(5000) : next(20));
            if (at > static_cast<int64_t>(model.size()))
                continue; // stay on written bytes: a gap's content is the file system's
            ASSERT_EQ(file->Seek(at, SEEK_SET), at);
            if (next(2) == 0) {
                const int64_t expected = std::min<int64_t>(count, model.size() - at);
                ASSERT_EQ(file->Read(buffer.data(), count), expected) << "op " << i;
                ASSERT_EQ(std::memcmp(buffer.data(), model.data() + at, expected), 0) << "op " << i;
            } else {
                for (int32_t k = 0; k < count; ++k)
                    buffer[static_cast<std::size_t>(k)] = static_cast<uint8_t>(i + k);
                ASSERT_EQ(file->Write(buffer.data(), count), count) << "op " << i;
                if (at + count > static_cast<int64_t>(model.size()))
                    model.resize(static_cast<std::size_t>(at + count));
                std::copy_n(buffer.begin(), count, model.begin() + at);
            }
            ASSERT_EQ(file->Size(), static_cast<int64_t>(model.size()));
        }
        ASSERT_EQ(file->Flush(), MMIOERR_OK);
        file.reset();
        EXPECT_EQ(ReadFile(path), model);
    }
}
