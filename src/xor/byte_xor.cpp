// byte_xor(stream, key): every byte of `stream` XORed with the key's low
// byte, the outcome decoded as UTF-8 with undecodable bytes dropped.
#include "xor/xor.hpp"

#include <climits>
#include <cstring>

namespace velk {

namespace {

// key as an int through its type's __int__, with the host's rules for what
// __int__ may return.  New reference.
PyObject* integer_of(PyObject* key) {
    if (PyLong_Check(key)) {
        Py_INCREF(key);
        return key;
    }
    PyNumberMethods* number = Py_TYPE(key)->tp_as_number;
    if (number == nullptr || number->nb_int == nullptr) {
        PyErr_SetString(PyExc_TypeError, "an integer is required");
        return nullptr;
    }
    Ref result = Ref::steal(number->nb_int(key));
    if (!result || PyLong_CheckExact(result.get())) {
        return result.release();
    }
    if (!PyLong_Check(result.get())) {
        PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)",
                     Py_TYPE(result.get())->tp_name);
        return nullptr;
    }
    if (PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                         "__int__ returned non-int (type %.200s).  The ability "
                         "to return an instance of a strict subclass of int is "
                         "deprecated, and may be removed in a future version "
                         "of Python.",
                         Py_TYPE(result.get())->tp_name) < 0) {
        return nullptr;
    }
    return result.release();
}

// The key as a signed 32-bit value, refused as the host refuses an int too
// large for a C int.  Returns 0 or -1.
int convert_key(PyObject* key, int* out) {
    Ref number = Ref::steal(integer_of(key));
    if (!number) {
        return -1;
    }
    int overflow = 0;
    long value = PyLong_AsLongAndOverflow(number.get(), &overflow);
    if (value == -1 && PyErr_Occurred()) {
        return -1;
    }
    if (overflow || value > INT_MAX || value < INT_MIN) {
        PyErr_SetString(PyExc_OverflowError,
                        "Python int too large to convert to C int");
        return -1;
    }
    *out = static_cast<int>(value);
    return 0;
}

// out = in XOR key, eight bytes at a time.  Returns the OR of all output
// bytes' high bits, so that the caller learns in the same pass whether the
// outcome is ASCII.
unsigned char xor_bytes(unsigned char* out, const unsigned char* in,
                        Py_ssize_t size, unsigned char key) {
    const std::uint64_t wide = 0x0101010101010101ULL * key;
    std::uint64_t high = 0;
    Py_ssize_t i = 0;
    for (; i + 8 <= size; i += 8) {
        std::uint64_t word;
        std::memcpy(&word, in + i, 8);
        word ^= wide;
        high |= word;
        std::memcpy(out + i, &word, 8);
    }
    unsigned char tail = 0;
    for (; i < size; ++i) {
        out[i] = in[i] ^ key;
        tail |= out[i];
    }
    high |= high >> 32;
    high |= high >> 16;
    high |= high >> 8;
    return static_cast<unsigned char>((high | tail) & 0x80);
}

// Every byte of `stream`, zero bytes included, XORed and decoded.  The
// outcome is written straight into a one-byte str; when it turns out not
// to be ASCII it is decoded as UTF-8 instead, dropping what does not decode.
PyObject* xor_decode(PyObject* stream, unsigned char key) {
    const unsigned char* in =
        reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(stream));
    Py_ssize_t size = PyBytes_GET_SIZE(stream);
    Ref text = Ref::steal(PyUnicode_New(size, 127));
    if (!text) {
        return nullptr;
    }
    unsigned char* out = PyUnicode_1BYTE_DATA(text.get());
    if (xor_bytes(out, in, size, key) == 0) {
        return text.release();
    }
    return PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(out), size,
                                "ignore");
}

const char* const byte_xor_params[] = {"stream", "key"};
// The stream is checked after the key is converted, so not by the binding.
PyTypeObject* const byte_xor_types[] = {nullptr, nullptr};
const Signature byte_xor_signature = {"byte_xor", "_velkc.byte_xor",
                                      byte_xor_params, byte_xor_types, 2, 2};

}  // namespace

PyObject* py_byte_xor(PyObject*, PyObject* args, PyObject* kwds) {
    Ref values[2];
    if (bind_arguments(byte_xor_signature, args, kwds, values) < 0) {
        return nullptr;
    }
    PyObject* stream = values[0].get();
    int key;
    if (convert_key(values[1].get(), &key) < 0) {
        return traced("_velkc.byte_xor", nullptr);
    }
    if (check_argument_type(stream, &PyBytes_Type, "stream") < 0) {
        return nullptr;
    }
    if (stream == Py_None) {
        PyErr_SetString(PyExc_TypeError, "expected bytes, NoneType found");
        return traced("_velkc.byte_xor", nullptr);
    }
    PyObject* text = traced(
        "_velkc._byte_xor",
        xor_decode(stream, static_cast<unsigned char>(key & 0xFF)));
    return traced("_velkc.byte_xor", text);
}

}  // namespace velk
