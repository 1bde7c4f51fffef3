// The segment list of a wave: the parts of the file that play, in order of their first sample.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <vector>

// An index outside a list.
class EListError : public std::out_of_range {
public:
    explicit EListError(int index);
};

// One segment; positions in samples and bytes of the wave.
struct TMMCutRecord {
    int32_t firstSample = 0;
    int32_t byteOffset = 0; // byte position of firstSample
    int32_t sampleCount = 0;
    int32_t byteCount = 0;
    int32_t spare = 0;
};

class TMMCutList {
public:
    int Count() const { return static_cast<int>(records_.size()); }
    int Capacity() const { return static_cast<int>(records_.capacity()); }

    // Throw EListError for an index outside [0, Count()).
    const TMMCutRecord& operator[](int index) const { return Item(index); }
    const TMMCutRecord& Item(int index) const;

    // Inserts in order of first sample; false (nothing added) when the first sample falls inside
    // a segment already in the list.
    bool Add(const TMMCutRecord& record);
    void Delete(int index);
    void Clear();

private:
    void CheckIndex(int index) const;

    std::vector<TMMCutRecord> records_;
};
