// The catalog's strict reader of stored metadata JSON, against its oracle:
// the same text read as a document by the JSON library, with the kind
// checks of jsonfields. Both must accept and refuse the same texts and read
// the same record, and what is accepted must survive its own encoding.
#include "FuzzSupport.h"
#include "audio/JsonFields.h"
#include "library/SoundMeta.h"

namespace {

// The record's JSON as the document holds it, or null when strict decoding
// refuses the document.
nlohmann::json throughDocument(const nlohmann::json& doc) {
    if (!doc.is_object()) return nullptr;
    nlohmann::json out = nlohmann::json::object();
    static const nlohmann::json keys = qm::SoundMeta().toJSON();
    for (const auto& [key, unused] : keys.items()) {
        if (key == "rating") {
            const std::optional<int64_t> rating = qm::jsonfields::integer(qm::jsonfields::member(doc, key));
            if (!rating) return nullptr;
            out[key] = *rating;
            continue;
        }
        const auto it = doc.find(key);
        if (it == doc.end() || !it->is_string()) return nullptr;
        out[key] = *it;
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text = qm::fuzz::text(data, size);
    const std::optional<qm::SoundMeta> meta = qm::SoundMeta::decode(text);
    // The JSON library takes a NUL byte for the end of its input; JSON has
    // no place for one (a string holds it escaped), and the reader refuses it.
    const nlohmann::json expected =
        text.find('\0') == std::string_view::npos ? throughDocument(qm::fuzz::parseOrNull(data, size)) : nullptr;
    if (meta.has_value() != !expected.is_null()) qm::fuzz::fail("the reader and the document disagree on a text");
    if (!meta) return 0;
    if (meta->toJSON() != expected) qm::fuzz::fail("the reader and the document read different records");
    const std::optional<qm::SoundMeta> again = qm::SoundMeta::decode(meta->encoded());
    if (!again || !(*again == *meta)) qm::fuzz::fail("a record does not survive its own encoding");
    return 0;
}
