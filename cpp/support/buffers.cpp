#include "support/buffers.hpp"

#include "support/pending_exception.hpp"

#include <bit>
#include <cctype>
#include <cstring>
#include <string>
#include <utility>

namespace tolvane::py {
namespace {

const char* expected_name(ElementType type) {
    switch (type) {
        case ElementType::Float64: return "float64_t";
        case ElementType::Int64: return "int64_t";
        case ElementType::Intp: return "Py_ssize_t";
        case ElementType::Object: return "unicode object";
    }
    return "?";
}

constexpr bool kLittleEndian = std::endian::native == std::endian::little;

// A buffer format split into its byte-order prefix and its item code.
struct Format {
    bool native_order = true;
    std::string code;  // the format without prefix and repeat count
};

Format parse_format(const char* format) {
    Format parsed;
    if (!format) format = "B";  // PEP 3118: a missing format means unsigned bytes
    switch (*format) {
        case '@': case '=': ++format; break;
        case '<': parsed.native_order = kLittleEndian; ++format; break;
        case '>': case '!': parsed.native_order = !kLittleEndian; ++format; break;
        default: break;
    }
    while (std::isdigit(static_cast<unsigned char>(*format))) ++format;
    parsed.code = format;
    return parsed;
}

bool matches(const Format& format, Py_ssize_t itemsize, ElementType type) {
    if (!format.native_order || format.code.size() != 1) return false;
    const char code = format.code[0];
    switch (type) {
        case ElementType::Float64: return code == 'd' && itemsize == 8;
        case ElementType::Int64: return (code == 'q' || code == 'l') && itemsize == 8;
        case ElementType::Intp:
            return (code == 'q' || code == 'l' || code == 'n') && itemsize == sizeof(Py_ssize_t);
        case ElementType::Object: return code == 'O' && itemsize == sizeof(PyObject*);
    }
    return false;
}

std::string describe(const Format& format, const char* raw) {
    static constexpr std::pair<const char*, const char*> names[] = {
        {"c", "char"}, {"b", "signed char"}, {"B", "unsigned char"}, {"?", "bool"},
        {"h", "short"}, {"H", "unsigned short"}, {"i", "int"}, {"I", "unsigned int"},
        {"l", "long"}, {"L", "unsigned long"}, {"q", "long long"}, {"Q", "unsigned long long"},
        {"n", "Py_ssize_t"}, {"N", "size_t"}, {"e", "half"}, {"f", "float"}, {"d", "double"},
        {"g", "long double"}, {"Zf", "complex float"}, {"Zd", "complex double"},
        {"Zg", "complex long double"}, {"O", "Python object"}, {"s", "bytes string"},
        {"w", "unicode string"},
    };
    for (const auto& [code, name] : names) {
        if (format.code == code) {
            std::string text = format.native_order ? "" : (kLittleEndian ? "big-endian " : "little-endian ");
            return "'" + text + name + "'";
        }
    }
    return std::string("'") + (raw ? raw : "B") + "'";
}

// An array whose dtype has no buffer format (datetime64, for instance) is
// reported as a dtype mismatch naming its dtype; other objects keep their
// own error.
void raise_unbufferable_dtype(PyObject* exporter, ElementType type) {
    if (!PyErr_ExceptionMatches(PyExc_ValueError) && !PyErr_ExceptionMatches(PyExc_BufferError)) return;
    PendingException original;
    Ref dtype = Ref::steal(PyObject_GetAttrString(exporter, "dtype"));
    Ref name = dtype ? Ref::steal(PyObject_Str(dtype.get())) : Ref{};
    if (!name) {
        PyErr_Clear();
        return;
    }
    original.discard();
    PyErr_Format(PyExc_ValueError, "Buffer dtype mismatch, expected %s%s%s but got '%U'", "'",
                 expected_name(type), "'", name.get());
}

}  // namespace

Buffer::Buffer(Buffer&& other) noexcept : view_(other.view_), held_(std::exchange(other.held_, false)) {}

Buffer& Buffer::operator=(Buffer&& other) noexcept {
    if (this != &other) {
        if (held_) PyBuffer_Release(&view_);
        view_ = other.view_;
        held_ = std::exchange(other.held_, false);
    }
    return *this;
}

Buffer::~Buffer() {
    if (held_) PyBuffer_Release(&view_);
}

bool Buffer::unchanged() const {
    if (!held_) return true;
    Py_buffer now{};
    if (PyObject_GetBuffer(view_.obj, &now, PyBUF_RECORDS_RO) < 0) {
        PyErr_Clear();
        return false;
    }
    bool same = now.buf == view_.buf && now.len == view_.len && now.ndim == view_.ndim;
    for (int axis = 0; same && axis < now.ndim; ++axis) {
        same = now.shape[axis] == view_.shape[axis] && now.strides[axis] == view_.strides[axis];
    }
    PyBuffer_Release(&now);
    return same;
}

Buffer Buffer::acquire(PyObject* exporter, int ndim, ElementType type) {
    Buffer buffer;
    if (PyObject_GetBuffer(exporter, &buffer.view_, PyBUF_RECORDS_RO) < 0) {
        raise_unbufferable_dtype(exporter, type);
        throw ErrorAlreadySet{};
    }
    buffer.held_ = true;
    if (buffer.view_.ndim != ndim) {
        PyErr_Format(PyExc_ValueError, "Buffer has wrong number of dimensions (expected %d, got %d)",
                     ndim, buffer.view_.ndim);
        throw ErrorAlreadySet{};
    }
    const Format format = parse_format(buffer.view_.format);
    if (!matches(format, buffer.view_.itemsize, type)) {
        const std::string found = describe(format, buffer.view_.format);
        PyErr_Format(PyExc_ValueError, "Buffer dtype mismatch, expected %s%s%s but got %s", "'",
                     expected_name(type), "'", found.c_str());
        throw ErrorAlreadySet{};
    }
    return buffer;
}

}  // namespace tolvane::py
