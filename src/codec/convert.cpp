// Record splitting and parsing: a record string into a dictionary of its
// key, value pairs, each value converted when a converter is given.
#include "codec/codec.hpp"
#include "frame/frame.hpp"
#include "values/values.hpp"

#include <algorithm>
#include <cstring>

namespace velk {

PyObject* PairConverter::operator()(PyObject* key, PyObject* value) const {
    if (reads_) {
        return read_by_key(kind_, key, value);
    }
    if (!callable_) {
        Py_INCREF(value);
        return value;
    }
    PyObject* args[] = {key, value};
    return vectorcall(callable_.get(), args, 2, nullptr);
}

bool PairConverter::in_place(int key_number, const Py_UCS1* text,
                             Py_ssize_t size, PyObject** out) const {
    return reads_ && read_in_place(kind_, key_number, text, size, out);
}

namespace {

// Stores convert(key, value) under key, and notes in `followed` a value that
// could refer back to the record (see `may_refer_back`).  Returns 0 or -1.
int store_pair(PyObject* result, const PairConverter& convert, PyObject* key,
               PyObject* value, bool& followed) {
    Ref converted = Ref::steal(convert(key, value));
    if (!converted) {
        return -1;
    }
    followed = followed || may_refer_back(converted.get());
    return PyDict_SetItem(result, key, converted.get());
}

// A piece [start, end) of a one-byte string, as a new str.
PyObject* make_piece(const Py_UCS1* start, const Py_UCS1* end, bool ascii) {
    Py_ssize_t size = end - start;
    if (ascii && size > 1) {
        PyObject* piece = PyUnicode_New(size, 127);
        if (piece) {
            std::memcpy(PyUnicode_1BYTE_DATA(piece), start, size);
        }
        return piece;
    }
    // Finds the narrowest form, and shares the one-character strings.
    return PyUnicode_FromKindAndData(PyUnicode_1BYTE_KIND, start, size);
}

// Pieces are short, so a plain loop beats memchr's set-up.
const Py_UCS1* find(const Py_UCS1* from, const Py_UCS1* end, Py_UCS1 delim) {
    while (from != end && *from != delim) {
        ++from;
    }
    return from;
}

// Splits a one-byte string on a one-character delimiter in place, without
// a list of pieces: pieces are made one pair at a time.  `followed` as for
// `store_pair`.
int scan_pairs(PyObject* result, PyObject* string, Py_UCS1 delim,
               const PairConverter& convert, bool& followed) {
    const Py_UCS1* data = PyUnicode_1BYTE_DATA(string);
    const Py_UCS1* end = data + PyUnicode_GET_LENGTH(string);
    bool ascii = PyUnicode_IS_ASCII(string);
    const Py_UCS1* key_start = data;
    for (;;) {
        const Py_UCS1* key_end = find(key_start, end, delim);
        if (key_end == end) {
            return 0;  // a last piece without a partner is dropped
        }
        const Py_UCS1* value_start = key_end + 1;
        const Py_UCS1* value_end = find(value_start, end, delim);
        // A key piece that writes a small number is the module's shared
        // object of that text, its hash known.
        int written = key_text_number(key_start, key_end - key_start);
        Ref key = written ? Ref::borrow(shared_key_text(written))
                          : Ref::steal(make_piece(key_start, key_end, ascii));
        if (!key) {
            return -1;
        }
        int number = written <= max_key ? written : 0;
        PyObject* read = nullptr;
        Ref converted;
        if (convert.in_place(number, value_start, value_end - value_start,
                             &read)) {
            // Numbers and flags, which the collector does not follow.
            converted = Ref::steal(read);
        } else {
            Ref value = Ref::steal(make_piece(value_start, value_end, ascii));
            if (value) {
                converted = Ref::steal(convert(key.get(), value.get()));
                followed = followed ||
                           (converted && may_refer_back(converted.get()));
            }
        }
        if (!converted ||
            PyDict_SetItem(result, key.get(), converted.get()) < 0) {
            return -1;
        }
        if (value_end == end) {
            return 0;
        }
        key_start = value_end + 1;
    }
}

// The host's split, for every other string or delimiter; it also raises
// the errors of a None or empty delimiter.
PyObject* split_pieces(PyObject* string, PyObject* delim) {
    if (string == Py_None) {
        return raise_none_attribute("split");
    }
    return PyUnicode_Split(string, delim, -1);
}

int split_pairs(PyObject* result, PyObject* string, PyObject* delim,
                const PairConverter& convert, bool& followed) {
    Ref pieces = Ref::steal(traced("_velkc._prepare", split_pieces(string, delim)));
    if (!pieces) {
        return -1;
    }
    // The list is ours alone, so its items stay put while converters run.
    Py_ssize_t count = PyList_GET_SIZE(pieces.get());
    for (Py_ssize_t i = 0; i + 1 < count; i += 2) {
        if (store_pair(result, convert, PyList_GET_ITEM(pieces.get(), i),
                       PyList_GET_ITEM(pieces.get(), i + 1), followed) < 0) {
            return -1;
        }
    }
    return 0;
}

bool scannable(PyObject* string, PyObject* delim) {
    return string != Py_None && PyUnicode_Check(delim) &&
           PyUnicode_KIND(string) == PyUnicode_1BYTE_KIND &&
           PyUnicode_GET_LENGTH(delim) == 1 &&
           PyUnicode_READ_CHAR(delim, 0) <= 0xFF;
}

// The size to make a record's dictionary: its number of pairs, but no more
// than the distinct property keys a record holds, so that a record of many
// repeated keys does not leave a large, mostly empty dictionary.
Py_ssize_t expected_entries(PyObject* string, Py_UCS1 delim) {
    const Py_UCS1* data = PyUnicode_1BYTE_DATA(string);
    const Py_UCS1* end = data + PyUnicode_GET_LENGTH(string);
    Py_ssize_t pairs = (std::count(data, end, delim) + 1) / 2;
    return std::min<Py_ssize_t>(pairs, max_key);
}

// A filled record handed out: untracked when none of its values could refer
// back to it, for then it can be no part of a cycle (see
// values/untracked.cpp).
PyObject* hand_out(Ref record, bool followed) {
    if (!followed) {
        PyObject_GC_UnTrack(record.get());
    }
    return record.release();
}

PyObject* convert_pairs(PyObject* string, PyObject* delim,
                        const PairConverter& convert) {
    bool followed = false;
    if (!scannable(string, delim)) {
        Ref result = Ref::steal(PyDict_New());
        if (!result ||
            split_pairs(result.get(), string, delim, convert, followed) < 0) {
            return nullptr;
        }
        return hand_out(std::move(result), followed);
    }
    Py_UCS1 separator = static_cast<Py_UCS1>(PyUnicode_READ_CHAR(delim, 0));
    Ref result = Ref::steal(new_presized_dict(expected_entries(string, separator)));
    if (!result ||
        scan_pairs(result.get(), string, separator, convert, followed) < 0) {
        return nullptr;
    }
    return hand_out(std::move(result), followed);
}

const char* const convert_params[] = {"string", "delim", "func"};
PyTypeObject* const convert_types[] = {&PyUnicode_Type, &PyUnicode_Type, nullptr};
const Signature convert_signature = {"_convert", "_velkc._convert",
                                     convert_params, convert_types, 3, 1};

}  // namespace

PyObject* convert_record(PyObject* string, PyObject* delim,
                         const PairConverter& convert) {
    return traced("_velkc._convert",
                  convert_pairs(string,
                                delim ? delim : strings.underscore.get(),
                                convert));
}

PyObject* py_convert(PyObject*, PyObject* args, PyObject* kwds) {
    Ref values[3];
    if (bind_arguments(convert_signature, args, kwds, values) < 0) {
        return nullptr;
    }
    return convert_record(values[0].get(), values[1].get(),
                          PairConverter::calling(values[2].get()));
}

}  // namespace velk
