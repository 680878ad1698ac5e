// The history reader on any text: it never crashes, takes only a well-formed history (ids
// increasing, below the next id, within what a JSON reader holds exactly), and what it takes
// is written back into a document that reads the same. Whatever it refuses, a new history
// goes on above every id the text shows.
#include "check.h"
#include "store/history_store.h"

#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    HistoryFile h;
    std::string why;
    const bool taken = ParseHistoryDocument(text, h, why);
    const long long highest = HighestHistoryId(text);
    FUZZ_CHECK(highest >= 0 && highest <= kMaxHistoryId);
    if (!taken) {
        FUZZ_CHECK(!why.empty() && why.find('\n') == std::string::npos);
        return 0;
    }
    FUZZ_CHECK(h.nextId >= 1 && h.nextId <= kMaxHistoryId);
    long long last = 0;
    for (const HistoryRecord& r : h.records) {
        FUZZ_CHECK(r.id > last && r.id < h.nextId);
        FUZZ_CHECK(r.block == 0 || r.block == 1);
        last = r.id;
    }
    const std::string again = HistoryDocumentText(h);
    HistoryFile h2;
    FUZZ_CHECK(ParseHistoryDocument(again, h2, why));
    FUZZ_CHECK(h2.nextId == h.nextId && h2.records.size() == h.records.size());
    for (std::size_t i = 0; i < h.records.size(); ++i) {
        FUZZ_CHECK(h2.records[i].id == h.records[i].id);
        FUZZ_CHECK(h2.records[i].words == h.records[i].words);
        FUZZ_CHECK(h2.records[i].device == h.records[i].device);
        FUZZ_CHECK(h2.records[i].file == h.records[i].file);
    }
    FUZZ_CHECK(HistoryDocumentText(h2) == again);
    return 0;
}
