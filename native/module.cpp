// _korvath_native: the fast paths of the korvath toolkit (Newick reading and
// writing, in-memory gene trees, trace replay, list conversion, clade graphs
// of tree samples). The toolkit calls these through korvath/_native.py with
// arguments it has already checked, but every function checks its inputs
// again: lengths, kinds and indices are verified, and no input can crash the
// interpreter. C++ exceptions never leave a function: they become ValueError
// (inconsistent input), MemoryError or RuntimeError. Arrays are passed in
// through the buffer protocol (one-dimensional, C-contiguous) and handed back
// as bytearray objects that numpy views without copying.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "gene_tree_texts.h"
#include "newick_text.h"
#include "sample_clades.h"
#include "trace_replay.h"

#include "support/faults.h"
#include "writer/name_check.h"
#include "writer/write_simulation.h"

#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace {

using namespace korvath;
using namespace korvath::native;

// Thrown when a Python API call has set an exception.
struct PythonError {};

class Ref {
public:
    Ref() = default;
    static Ref steal(PyObject* object) {
        if (object == nullptr) throw PythonError{};
        return Ref(object);
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    ~Ref() { Py_XDECREF(object_); }
    PyObject* get() const { return object_; }
    PyObject* release() { return std::exchange(object_, nullptr); }

private:
    explicit Ref(PyObject* object) : object_(object) {}
    PyObject* object_ = nullptr;
};

[[noreturn]] void raise(PyObject* kind, const std::string& message) {
    PyErr_SetString(kind, message.c_str());
    throw PythonError{};
}

// Runs `body`, turning every C++ exception into a Python one.
template <class Body>
PyObject* guarded(Body&& body) {
    try {
        return body();
    } catch (const PythonError&) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error without exception");
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::invalid_argument& error) {  // InvalidName, ReplayError, format errors
        PyErr_SetString(PyExc_ValueError, error.what());
    } catch (const IoError& error) {
        PyErr_SetString(PyExc_OSError, error.what());
    } catch (const InternalFault& error) {
        PyErr_SetString(PyExc_ValueError,
                        (std::string("inconsistent input: ") + error.what()).c_str());
    } catch (const std::exception& error) {
        PyErr_SetString(PyExc_RuntimeError, error.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
    }
    return nullptr;
}

void expect_args(const char* function, Py_ssize_t given, Py_ssize_t wanted) {
    if (given != wanted) {
        raise(PyExc_TypeError, std::string(function) + "() takes " + std::to_string(wanted) +
                                   " arguments (" + std::to_string(given) + " given)");
    }
}

// One-dimensional contiguous buffer of T, copied out (so alignment never matters).
template <class T>
std::vector<T> read_array(PyObject* object, const char* name, const char* formats) {
    Py_buffer view;
    if (PyObject_GetBuffer(object, &view, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) != 0) {
        throw PythonError{};
    }
    struct Release {
        Py_buffer* view;
        ~Release() { PyBuffer_Release(view); }
    } release{&view};
    const char* format = view.format == nullptr ? "B" : view.format;
    if (*format == '@' || *format == '=' || *format == '<') ++format;
    const bool known = std::strlen(format) == 1 && std::strchr(formats, *format) != nullptr;
    if (view.ndim != 1 || view.itemsize != static_cast<Py_ssize_t>(sizeof(T)) || !known) {
        raise(PyExc_TypeError, std::string(name) + ": expected a one-dimensional array of " +
                                   std::to_string(sizeof(T)) + "-byte items ('" + formats +
                                   "'), got format '" + (view.format ? view.format : "B") + "'");
    }
    std::vector<T> out(static_cast<std::size_t>(view.len) / sizeof(T));
    if (!out.empty()) std::memcpy(out.data(), view.buf, out.size() * sizeof(T));
    return out;
}

std::vector<std::int64_t> int64s(PyObject* o, const char* name) {
    return read_array<std::int64_t>(o, name, "lq");
}
std::vector<double> doubles(PyObject* o, const char* name) {
    return read_array<double>(o, name, "d");
}
std::vector<std::uint8_t> bytes_of(PyObject* o, const char* name) {
    return read_array<std::uint8_t>(o, name, "B?");
}

template <class T>
Ref bytearray_of(const std::vector<T>& values) {
    return Ref::steal(PyByteArray_FromStringAndSize(
        values.empty() ? nullptr : reinterpret_cast<const char*>(values.data()),
        static_cast<Py_ssize_t>(values.size() * sizeof(T))));
}

Ref text_of(std::string_view text) {
    return Ref::steal(
        PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict"));
}

std::string_view utf8_of(PyObject* object, const char* name) {
    if (!PyUnicode_Check(object)) {
        raise(PyExc_TypeError, std::string(name) + ": expected a str");
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(object, &size);
    if (data == nullptr) throw PythonError{};
    return {data, static_cast<std::size_t>(size)};
}

// The strings of a list, viewed as UTF-8 (valid while the list holds them).
std::vector<std::string_view> utf8_list(PyObject* list, const char* name) {
    if (!PyList_Check(list)) raise(PyExc_TypeError, std::string(name) + ": expected a list");
    const Py_ssize_t n = PyList_GET_SIZE(list);
    std::vector<std::string_view> out;
    out.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) out.push_back(utf8_of(PyList_GET_ITEM(list, i), name));
    return out;
}

Ref labels_list(const NewickArrays& arrays) {
    const std::size_t n = arrays.size();
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(n)));
    Ref empty = text_of("");
    for (std::size_t v = 0; v < n; ++v) {
        const std::string_view label = arrays.label(v);
        Ref item = label.empty() ? Ref::steal(Py_NewRef(empty.get())) : text_of(label);
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(v), item.release());
    }
    return list;
}

Ref newick_tuple(const NewickArrays& arrays, const std::vector<std::int64_t>* offsets) {
    Ref parent = bytearray_of(arrays.parent);
    Ref labels = labels_list(arrays);
    Ref lengths = bytearray_of(arrays.lengths);
    if (offsets == nullptr) {
        return Ref::steal(PyTuple_Pack(3, parent.get(), labels.get(), lengths.get()));
    }
    Ref bounds = bytearray_of(*offsets);
    return Ref::steal(PyTuple_Pack(4, bounds.get(), parent.get(), labels.get(), lengths.get()));
}

// parse_newick(text) -> (parent, labels, lengths), or None when the text is not one tree.
PyObject* py_parse_newick(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([&]() -> PyObject* {
        expect_args("parse_newick", nargs, 1);
        const std::string_view text = utf8_of(args[0], "text");
        NewickArrays arrays;
        if (!parse_newick_into(text, arrays)) Py_RETURN_NONE;
        return newick_tuple(arrays, nullptr).release();
    });
}

// parse_newick_many(texts) -> (offsets, parent, labels, lengths), or the index of the
// first text that is not one tree.
PyObject* py_parse_newick_many(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([&]() -> PyObject* {
        expect_args("parse_newick_many", nargs, 1);
        const std::vector<std::string_view> texts = utf8_list(args[0], "texts");
        NewickArrays arrays;
        std::vector<std::int64_t> offsets{0};
        offsets.reserve(texts.size() + 1);
        for (std::size_t i = 0; i < texts.size(); ++i) {
            if (!parse_newick_into(texts[i], arrays)) {
                return PyLong_FromSize_t(i);
            }
            offsets.push_back(static_cast<std::int64_t>(arrays.size()));
        }
        return newick_tuple(arrays, &offsets).release();
    });
}

// format_newick(parent, labels, lengths) -> str
PyObject* py_format_newick(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([&]() -> PyObject* {
        expect_args("format_newick", nargs, 3);
        const std::vector<std::int64_t> parent = int64s(args[0], "parent");
        const std::vector<std::string_view> labels = utf8_list(args[1], "labels");
        const std::vector<double> lengths = doubles(args[2], "lengths");
        const std::string text = format_newick(parent, labels, lengths);
        return text_of(text).release();
    });
}

std::uint32_t node_index(std::int64_t value, const char* what) {
    if (value < 0 || value >= static_cast<std::int64_t>(EventLog::kNoNode)) {
        fault(std::string(what) + " outside the species tree");
    }
    return static_cast<std::uint32_t>(value);
}

std::uint64_t id_of(std::int64_t value, const char* what) {
    if (value < 0) fault(std::string("negative ") + what);
    return static_cast<std::uint64_t>(value);
}

// A finished gene-family run as the writer reads it: the event log, the copies
// of every extant leaf, and the species tree (which checks itself).
struct Run {
    EventLog log;
    std::vector<ExtantCopies> extant;
    std::vector<std::string> names;
    double total_age = 0.0;
    std::unique_ptr<SpeciesTree> species;
};

// Reads args[0 .. 15]: kind, branch, time, recipient, family, gene, child1,
// leaves (every extant leaf, in the order reached), copy_leaf, copy_gene,
// copy_family, names, total_age, parent, dates, extant_leaf; args[16] is the root.
Run read_run(PyObject* const* args) {
    Run run;
    EventLog& log = run.log;
    log.kind = bytes_of(args[0], "kind");
    const std::vector<std::int64_t> branch = int64s(args[1], "branch");
    log.time = doubles(args[2], "time");
    const std::vector<std::int64_t> recipient = int64s(args[3], "recipient");
    const std::vector<std::int64_t> family = int64s(args[4], "family");
    const std::vector<std::int64_t> gene = int64s(args[5], "gene");
    log.child1 = int64s(args[6], "child1");
    const std::vector<std::int64_t> leaves = int64s(args[7], "leaves");
    const std::vector<std::int64_t> copy_leaf = int64s(args[8], "copy_leaf");
    const std::vector<std::int64_t> copy_gene = int64s(args[9], "copy_gene");
    const std::vector<std::int64_t> copy_family = int64s(args[10], "copy_family");
    const std::vector<std::string_view> name_views = utf8_list(args[11], "names");
    run.total_age = PyFloat_AsDouble(args[12]);
    if (run.total_age == -1.0 && PyErr_Occurred()) throw PythonError{};
    SpeciesTreeArrays arrays;
    arrays.parent = int64s(args[13], "parent");
    arrays.time = doubles(args[14], "dates");
    const std::vector<std::uint8_t> extant_leaf = bytes_of(args[15], "extant_leaf");
    const long long root = PyLong_AsLongLong(args[16]);
    if (root == -1 && PyErr_Occurred()) throw PythonError{};
    if (root < 0) throw std::invalid_argument("the root is negative");
    arrays.n_nodes = arrays.parent.size();
    arrays.extant_leaf.resize(extant_leaf.size());
    for (std::size_t v = 0; v < extant_leaf.size(); ++v) arrays.extant_leaf[v] = extant_leaf[v] != 0;
    arrays.root = static_cast<std::uint64_t>(root);
    run.species = std::make_unique<SpeciesTree>(std::move(arrays));

    const std::size_t rows = log.kind.size();
    if (branch.size() != rows || log.time.size() != rows || recipient.size() != rows ||
        family.size() != rows || gene.size() != rows || log.child1.size() != rows) {
        throw std::invalid_argument("the event columns differ in length");
    }
    if (copy_gene.size() != copy_leaf.size() || copy_family.size() != copy_leaf.size()) {
        throw std::invalid_argument("the extant copy columns differ in length");
    }
    log.branch.resize(rows);
    log.recipient_node.resize(rows);
    log.family.resize(rows);
    log.gene.resize(rows);
    for (std::size_t e = 0; e < rows; ++e) {
        log.branch[e] = node_index(branch[e], "a branch");
        log.recipient_node[e] =
            recipient[e] < 0 ? EventLog::kNoNode : node_index(recipient[e], "a recipient");
        log.family[e] = id_of(family[e], "family id");
        log.gene[e] = id_of(gene[e], "gene id");
    }
    // One entry per extant leaf, in the order given; the copies follow, grouped by leaf in
    // that same order.
    run.extant.reserve(leaves.size());
    for (const std::int64_t leaf : leaves) run.extant.push_back({node_index(leaf, "an extant leaf"), {}});
    std::size_t entry = 0;
    for (std::size_t i = 0; i < copy_leaf.size(); ++i) {
        const std::uint64_t leaf = node_index(copy_leaf[i], "an extant leaf");
        while (entry < run.extant.size() && run.extant[entry].node != leaf) ++entry;
        if (entry == run.extant.size()) {
            throw std::invalid_argument("the extant copies are not grouped by leaf in the order "
                                        "of the leaves");
        }
        run.extant[entry].copies.push_back(
            {id_of(copy_gene[i], "gene id"), id_of(copy_family[i], "family id")});
    }
    run.names.assign(name_views.begin(), name_views.end());
    return run;
}

// gene_trees(kind, branch, time, recipient, family, gene, child1, leaves, copy_leaf,
//            copy_gene, copy_family, names, total_age, parent, dates, extant_leaf, root,
//            extant_only) -> (family ids, texts)
PyObject* py_gene_trees(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([&]() -> PyObject* {
        expect_args("gene_trees", nargs, 18);
        const Run run = read_run(args);
        const int extant_only = PyObject_IsTrue(args[17]);
        if (extant_only < 0) throw PythonError{};
        std::vector<std::int64_t> families;
        Ref texts = Ref::steal(PyList_New(0));
        gene_tree_texts(run.log, run.extant, run.names, *run.species, run.total_age,
                        extant_only != 0, [&](std::uint64_t f, std::string_view text) {
                            Ref item = text_of(text);
                            if (PyList_Append(texts.get(), item.get()) != 0) throw PythonError{};
                            families.push_back(static_cast<std::int64_t>(f));
                        });
        Ref ids = bytearray_of(families);
        return PyTuple_Pack(2, ids.get(), texts.get());
    });
}

// write_run(the first seventeen of gene_trees, outdir) -> (families written, events logged,
// extant leaves): the folder simulate_and_write writes for the same run, made by the same
// writer from the run already in memory.
PyObject* py_write_run(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([&]() -> PyObject* {
        expect_args("write_run", nargs, 18);
        const Run run = read_run(args);
        Py_ssize_t size = 0;
        const char* outdir = PyUnicode_AsUTF8AndSize(args[17], &size);
        if (outdir == nullptr) throw PythonError{};
        if (std::memchr(outdir, '\0', static_cast<std::size_t>(size)) != nullptr) {
            throw std::invalid_argument("outdir holds a NUL character");
        }
        const WriteCounts counts = write_simulation(run.log, run.extant, run.names, run.total_age,
                                                    std::string(outdir, size), run.species.get());
        return Py_BuildValue("(KKK)", static_cast<unsigned long long>(counts.families_written),
                             static_cast<unsigned long long>(counts.events_logged),
                             static_cast<unsigned long long>(counts.extant_leaves));
    });
}

// replay_trace(parent, time, extant_leaf, root, kind, branch, time, recipient, family,
//              gene, child1) -> 11 bytearrays (see trace_replay.h)
PyObject* py_replay_trace(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([&]() -> PyObject* {
        expect_args("replay_trace", nargs, 11);
        const std::vector<std::int64_t> parent = int64s(args[0], "parent");
        const std::vector<double> dates = doubles(args[1], "time");
        const std::vector<std::uint8_t> extant = bytes_of(args[2], "extant_leaf");
        const long long root = PyLong_AsLongLong(args[3]);
        if (root == -1 && PyErr_Occurred()) throw PythonError{};
        const std::vector<std::uint8_t> kind = bytes_of(args[4], "kind");
        const std::vector<std::int64_t> branch = int64s(args[5], "branch");
        const std::vector<double> time = doubles(args[6], "time");
        const std::vector<std::int64_t> recipient = int64s(args[7], "recipient");
        const std::vector<std::int64_t> family = int64s(args[8], "family");
        const std::vector<std::int64_t> gene = int64s(args[9], "gene");
        const std::vector<std::int64_t> child1 = int64s(args[10], "child1");
        std::vector<std::uint8_t> extant_flags(extant.size());
        for (std::size_t v = 0; v < extant.size(); ++v) extant_flags[v] = extant[v] != 0;

        const ReplayedRun run = replay_trace(ReplayTree{parent, dates, extant_flags, root},
                                             TraceColumns{kind, branch, time, recipient, family,
                                                          gene, child1});
        Ref parts[] = {bytearray_of(run.kind),      bytearray_of(run.branch),
                       bytearray_of(run.time),      bytearray_of(run.recipient),
                       bytearray_of(run.family),    bytearray_of(run.gene),
                       bytearray_of(run.child1),    bytearray_of(run.leaves),
                       bytearray_of(run.copy_leaf), bytearray_of(run.copy_gene),
                       bytearray_of(run.copy_family)};
        Ref tuple = Ref::steal(PyTuple_New(11));
        for (Py_ssize_t i = 0; i < 11; ++i) PyTuple_SET_ITEM(tuple.get(), i, parts[i].release());
        return tuple.release();
    });
}

// Frees items [begin, end) of a list that is being given up, leaving NULL in
// their slots; the items were just read, so they are still in cache. The list
// must then be finished with `give_up` (success) or `restore` (failure) before
// Python code can see it again.
void release_items(PyObject* list, Py_ssize_t begin, Py_ssize_t end) {
    for (Py_ssize_t i = begin; i < end; ++i) {
        PyObject* item = PyList_GET_ITEM(list, i);
        PyList_SET_ITEM(list, i, nullptr);
        Py_DECREF(item);
    }
}

// Every item released: the list becomes empty.
void give_up(PyObject* list) { Py_SET_SIZE(list, 0); }

// After a failure: released slots hold None, so the list stays a valid list.
void restore(PyObject* list, Py_ssize_t released) {
    for (Py_ssize_t i = 0; i < released; ++i) PyList_SET_ITEM(list, i, Py_NewRef(Py_None));
}

// Reads every item of `list` with `read(item, i)`; when `consume`, frees the items
// in blocks as it goes and empties the list (on failure, the freed items become None).
template <class Read>
void read_list(PyObject* list, bool consume, Read&& read) {
    const Py_ssize_t n = PyList_GET_SIZE(list);
    constexpr Py_ssize_t kBlock = 1024;
    Py_ssize_t released = 0;
    try {
        for (Py_ssize_t i = 0; i < n; ++i) {
            read(PyList_GET_ITEM(list, i), i);
            if (consume && i + 1 - released == kBlock) {
                release_items(list, released, i + 1);
                released = i + 1;
            }
        }
    } catch (...) {
        restore(list, released);
        throw;
    }
    if (consume) {
        release_items(list, released, n);
        give_up(list);
    }
}

// The value of an int that fits one internal digit, read without a call; false
// for any other int (the caller then asks the interpreter).
inline bool small_int(PyObject* item, long long& value) {
#if PY_VERSION_HEX >= 0x030C0000
    if (!PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(item))) return false;
    value = static_cast<long long>(
        PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(item)));
    return true;
#else
    const Py_ssize_t size = Py_SIZE(item);
    if (size < -1 || size > 1) return false;
    const auto digit = static_cast<long long>(reinterpret_cast<PyLongObject*>(item)->ob_digit[0]);
    value = size * digit;
    return true;
#endif
}

// Whether the caller gives the list up: it is then empty afterwards (after a
// failure, it holds None in place of every item freed). Only for lists that
// nothing else reads meanwhile.
bool consume_flag(PyObject* consume) {
    const int wanted = PyObject_IsTrue(consume);
    if (wanted < 0) throw PythonError{};
    return wanted != 0;
}

// int64_from_list(list, consume) -> bytearray of the list's ints as int64 (fast path of
// numpy conversion for the long lists the core returns). With `consume`, the items are
// freed block by block as they are read, while still in cache, and the list ends empty.
PyObject* py_int64_from_list(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([&]() -> PyObject* {
        expect_args("int64_from_list", nargs, 2);
        PyObject* list = args[0];
        if (!PyList_CheckExact(list)) raise(PyExc_TypeError, "int64_from_list: expected a list");
        const bool consume = consume_flag(args[1]);
        const Py_ssize_t n = PyList_GET_SIZE(list);
        Ref out = Ref::steal(PyByteArray_FromStringAndSize(nullptr, n * 8));
        auto* data = reinterpret_cast<unsigned char*>(PyByteArray_AS_STRING(out.get()));
        read_list(list, consume, [&](PyObject* item, Py_ssize_t i) {
            if (!PyLong_CheckExact(item)) {
                raise(PyExc_TypeError, "int64_from_list: item " + std::to_string(i) +
                                           " is not an int");
            }
            long long value = 0;
            if (!small_int(item, value)) {
                value = PyLong_AsLongLong(item);
                if (value == -1 && PyErr_Occurred()) throw PythonError{};
            }
            std::memcpy(data + 8 * i, &value, 8);
        });
        return out.release();
    });
}

// float64_from_list(list, consume) -> bytearray of the list's floats as float64.
PyObject* py_float64_from_list(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([&]() -> PyObject* {
        expect_args("float64_from_list", nargs, 2);
        PyObject* list = args[0];
        if (!PyList_CheckExact(list)) raise(PyExc_TypeError, "float64_from_list: expected a list");
        const bool consume = consume_flag(args[1]);
        const Py_ssize_t n = PyList_GET_SIZE(list);
        Ref out = Ref::steal(PyByteArray_FromStringAndSize(nullptr, n * 8));
        auto* data = reinterpret_cast<unsigned char*>(PyByteArray_AS_STRING(out.get()));
        read_list(list, consume, [&](PyObject* item, Py_ssize_t i) {
            if (!PyFloat_CheckExact(item)) {
                raise(PyExc_TypeError, "float64_from_list: item " + std::to_string(i) +
                                           " is not a float");
            }
            const double value = PyFloat_AS_DOUBLE(item);
            std::memcpy(data + 8 * i, &value, 8);
        });
        return out.release();
    });
}

// sample_clades(offsets, parent, leaf, n_leaves, rooted) -> (split_counts, split_left,
// split_right, split_weight): the clade graph of one family's sample of trees.
PyObject* py_sample_clades(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([&]() -> PyObject* {
        expect_args("sample_clades", nargs, 5);
        const std::vector<std::int64_t> offsets = int64s(args[0], "offsets");
        const std::vector<std::int64_t> parent = int64s(args[1], "parent");
        const std::vector<std::int64_t> leaf = int64s(args[2], "leaf");
        const long long n_leaves = PyLong_AsLongLong(args[3]);
        if (n_leaves == -1 && PyErr_Occurred()) throw PythonError{};
        const int rooted = PyObject_IsTrue(args[4]);
        if (rooted < 0) throw PythonError{};
        SampleTrees trees;
        trees.offsets = offsets;
        trees.parent = parent;
        trees.leaf = leaf;
        trees.n_leaves = n_leaves;
        trees.rooted = rooted != 0;
        SampleClades clades;
        {
            // The trees are copied out: the work needs no interpreter.
            PyThreadState* state = PyEval_SaveThread();
            struct Restore {
                PyThreadState* state;
                ~Restore() { PyEval_RestoreThread(state); }
            } restore{state};
            clades = sample_clades(trees);
        }
        Ref counts = bytearray_of(clades.split_counts);
        Ref left = bytearray_of(clades.split_left);
        Ref right = bytearray_of(clades.split_right);
        Ref weight = bytearray_of(clades.split_weight);
        return PyTuple_Pack(4, counts.get(), left.get(), right.get(), weight.get());
    });
}

PyMethodDef methods[] = {
    {"parse_newick", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_parse_newick)),
     METH_FASTCALL, "parse_newick(text) -> (parent, labels, lengths) or None"},
    {"parse_newick_many",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_parse_newick_many)),
     METH_FASTCALL, "parse_newick_many(texts) -> (offsets, parent, labels, lengths) or index"},
    {"format_newick", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_format_newick)),
     METH_FASTCALL, "format_newick(parent, labels, lengths) -> str"},
    {"gene_trees", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_gene_trees)),
     METH_FASTCALL, "gene_trees(...) -> (family ids, texts)"},
    {"write_run", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_write_run)),
     METH_FASTCALL, "write_run(...) -> (families written, events logged, extant leaves)"},
    {"replay_trace", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_replay_trace)),
     METH_FASTCALL, "replay_trace(...) -> the replayed log and extant copies"},
    {"int64_from_list",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_int64_from_list)),
     METH_FASTCALL, "int64_from_list(list, consume) -> bytearray"},
    {"float64_from_list",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_float64_from_list)),
     METH_FASTCALL, "float64_from_list(list, consume) -> bytearray"},
    {"sample_clades", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_sample_clades)),
     METH_FASTCALL, "sample_clades(offsets, parent, leaf, n_leaves, rooted) -> clade graph"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot slots[] = {
#if PY_VERSION_HEX >= 0x030C0000
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_korvath_native",
    "Fast paths of the korvath toolkit (Newick, gene trees, trace replay).", 0, methods, slots,
    nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__korvath_native(void) { return PyModuleDef_Init(&module_def); }
