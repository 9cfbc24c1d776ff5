// The report as JSON: the whole document at once, or handed on in pieces.
#ifndef BRIMFUL_JSON_WRITER_H
#define BRIMFUL_JSON_WRITER_H

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "os.h"
#include "report.h"

namespace brimful {

// The whole report as pretty-printed JSON, without a trailing newline, or
// "path contains invalid UTF-8 characters" when a path cannot be written.
// A deleted-open file's path is written in its lossy form instead: it names a
// stranger's file, which must not cost the caller the report. Any other
// string that is not UTF-8 is refused as well ("text contains invalid UTF-8
// characters"), so the output is always valid JSON.
// Findings, when given, are the last key, also when there are none.
Result<std::string> encode_json(const Evidence& evidence, const Diagnosis& diagnosis,
                                const std::vector<Finding>* findings = nullptr);

// The same document handed to chunks in pieces, so that a large one is never
// held whole; returns its length. When the document cannot be written whole,
// chunks is never called and the message is encode_json's.
using JsonChunks = std::function<void(std::string_view)>;
Result<std::uint64_t> write_json(const Evidence& evidence, const Diagnosis& diagnosis,
                                 const std::vector<Finding>* findings, const JsonChunks& chunks);

}  // namespace brimful

#endif  // BRIMFUL_JSON_WRITER_H
