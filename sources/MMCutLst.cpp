#include "sources/MMCutLst.h"

#include <algorithm>
#include <string>

EListError::EListError(int index)
    : std::out_of_range("List index out of bounds (" + std::to_string(index) + ")") {}

void TMMCutList::CheckIndex(int index) const {
    if (index < 0 || index >= Count())
        throw EListError(index);
}

const TMMCutRecord& TMMCutList::Item(int index) const {
    CheckIndex(index);
    return records_[static_cast<std::size_t>(index)];
}

bool TMMCutList::Add(const TMMCutRecord& record) {
    for (const TMMCutRecord& segment : records_) {
        const int64_t end = static_cast<int64_t>(segment.firstSample) + segment.sampleCount;
        if (record.firstSample >= segment.firstSample && record.firstSample < end)
            return false;
    }
    // Small lists grow in small steps: a wave usually has one segment.
    if (records_.size() == records_.capacity()) {
        const std::size_t capacity = records_.capacity();
        const std::size_t step = capacity < 5 ? 4 : capacity < 9 ? 8 : 16;
        records_.reserve(capacity + step);
    }
    const auto at = std::upper_bound(
        records_.begin(), records_.end(), record,
        [](const TMMCutRecord& a, const TMMCutRecord& b) { return a.firstSample < b.firstSample; });
    records_.insert(at, record);
    return true;
}

void TMMCutList::Delete(int index) {
    CheckIndex(index);
    records_.erase(records_.begin() + index);
}

void TMMCutList::Clear() {
    std::vector<TMMCutRecord>().swap(records_); // gives the storage back, as a new list has none
}
