// Text built in one growing buffer: what joining keys, values and elements
// writes instead of a list of str() results and a join.
#pragma once

#include "core/core.hpp"

namespace velk {

class TextWriter {
public:
    TextWriter() { writer_init(&writer_); }
    TextWriter(const TextWriter&) = delete;
    TextWriter& operator=(const TextWriter&) = delete;
    ~TextWriter() {
        if (!finished_) {
            writer_dealloc(&writer_);
        }
    }

    // Writes str(item): ints, floats and str directly, anything else
    // through its own str().  Returns 0 or -1.
    int write_text_of(PyObject* item);
    // Writes a str.  Returns 0 or -1.
    int write(PyObject* text) { return writer_write_str(&writer_, text); }
    // The text written (new reference); the writer is spent.
    PyObject* finish() {
        finished_ = true;
        return writer_finish(&writer_);
    }

private:
    // Writes the ASCII characters [text, text + size).
    int write_ascii(const char* text, std::size_t size);

    UnicodeWriter writer_;
    bool finished_ = false;
};

// The joined text as it grows: each item's str() after a delimiter.  The
// delimiter is held while the items' str() run code.
class Joiner {
public:
    explicit Joiner(PyObject* delim) : delim_(Ref::borrow(delim)) {}
    int append(PyObject* item) {
        if (!first_ && writer_.write(delim_.get()) < 0) {
            return -1;
        }
        first_ = false;
        return writer_.write_text_of(item);
    }
    PyObject* finish() { return writer_.finish(); }

private:
    TextWriter writer_;
    Ref delim_;
    bool first_ = true;
};

}  // namespace velk
