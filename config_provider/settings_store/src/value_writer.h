// The value file writer: the values of a group as a value file, in list order.
#pragma once

#include <cstddef>
#include <string>

#include "jovacfg.h"
#include "result.h"

namespace qac {

// Receives the file's bytes in pieces. False stops the writing.
class ByteSink {
  public:
    virtual ~ByteSink() = default;
    virtual bool put(const char* bytes, std::size_t size) = 0;
};

// Writes "<config>", the group's values and "</config>". False when the sink refused bytes.
// Throws std::bad_alloc.
bool write_values(const QAC_DataGroup& group, ByteSink* sink);

// The whole document as text.
std::string values_text(const QAC_DataGroup& group);

// Writes the file whole or not at all: the text goes to a temporary file beside it, which is
// flushed and then replaces it in one step, while the value file is held without sharing.
// 0, or QAC_E_BUSY / QAC_E_SYSTEM with the system error of what failed; after a failure the
// old file is as it was and no temporary file is left.
Result write_value_file(const char* path, const QAC_DataGroup& group);

}  // namespace qac
