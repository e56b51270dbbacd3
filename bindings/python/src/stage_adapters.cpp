// The adapters that make Python objects into core stages, sources and views.
//
// One calling pattern for every call into Python (gather, rerank, view,
// document_lengths, fetch): attach to the interpreter for that call only,
// build fresh argument objects, look the method up by name now (a stage may
// replace its methods between calls), convert and copy the result while still
// attached, and turn any Python exception raised on the way (the method's
// own, or the TypeError of a failed conversion) into an External error that
// carries the very same exception object. Core code may call these from any
// thread, pool workers included, with the interpreter lock released.

#include "stage_adapters.h"

#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "convert.h"
#include "errors.h"
#include "query_types.h"
#include "representation_convert.h"
#include "resource_budget_type.h"
#include "shared_object.h"
#include "stage_values.h"

namespace quillmark::py {

namespace {

// obj.<name>(*positional, <keyword>=<keyword_value>), the method looked up
// at call time. Null with the exception set on failure.
Ref call_method(PyObject* obj, const char* name, std::initializer_list<PyObject*> positional,
                const char* keyword = nullptr, PyObject* keyword_value = nullptr) {
  Ref method_name = Ref::steal(PyUnicode_InternFromString(name));
  if (!method_name) return {};
  std::vector<PyObject*> args;
  args.reserve(positional.size() + 2);
  args.push_back(obj);
  args.insert(args.end(), positional.begin(), positional.end());
  Ref keywords;
  if (keyword) {
    keywords = Ref::steal(Py_BuildValue("(s)", keyword));
    if (!keywords) return {};
    args.push_back(keyword_value);
  }
  return Ref::steal(PyObject_VectorcallMethod(method_name.get(), args.data(), positional.size() + 1,
                                              keywords.get()));
}

// Runs `body` attached to the interpreter. `body` returns an optional value,
// empty with a Python exception set on failure; that exception becomes an
// External error holding it.
template <class Body>
auto attached_call(Body&& body) -> Result<typename decltype(body())::value_type> {
  Attach lock;
  auto value = body();
  if (!value) return std::unexpected(take_python_error());
  return std::move(*value);
}

Ref ids_to_py(std::span<const SharedText> ids, std::vector<Ref>& items) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(ids.size())));
  if (!list) return {};
  items.reserve(ids.size());
  for (std::size_t i = 0; i < ids.size(); ++i) {
    Ref item = text_to_py(ids[i].view());
    if (!item) return {};
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), Ref(item).release());
    items.push_back(std::move(item));
  }
  return list;
}

// What a gatherer or reranker declares about itself, read once.
struct Declaration {
  Requirements required;
  std::string score_semantics;
  std::string name;

  // obj.requires (a collections.abc.Mapping of feature name to
  // representation), obj.score_semantics (a str), type(obj).__name__, in
  // this order. Empty with the exception set on the first failure.
  static std::optional<Declaration> read(PyObject* obj) {
    Ref requires_obj = Ref::steal(PyObject_GetAttrString(obj, "requires"));
    if (!requires_obj) return std::nullopt;
    Ref abc = Ref::steal(PyImport_ImportModule("collections.abc"));
    if (!abc) return std::nullopt;
    Ref mapping = Ref::steal(PyObject_GetAttrString(abc.get(), "Mapping"));
    if (!mapping) return std::nullopt;
    const int is_mapping = PyObject_IsInstance(requires_obj.get(), mapping.get());
    if (is_mapping < 0) return std::nullopt;
    if (!is_mapping) {
      PyErr_Format(PyExc_TypeError, "requires must be a mapping of feature names to representations, not %s",
                   Py_TYPE(requires_obj.get())->tp_name);
      return std::nullopt;
    }
    Ref items = Ref::steal(PyMapping_Items(requires_obj.get()));
    if (!items) return std::nullopt;
    auto required = requirements(items.get());
    if (!required) return std::nullopt;
    auto score_semantics = attribute(obj, "score_semantics");
    if (!score_semantics) return std::nullopt;
    auto name = attribute(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__name__");
    if (!name) return std::nullopt;
    Requirements ordered(required->begin(), required->end());
    return Declaration{std::move(ordered), std::move(*score_semantics), std::move(*name)};
  }
};

class PythonGatherer final : public CandidateGenerator {
 public:
  PythonGatherer(Declaration declaration, SharedObject object)
      : declaration_(std::move(declaration)), object_(std::move(object)) {}

  const Requirements& requirements() const override { return declaration_.required; }
  std::string_view score_semantics() const override { return declaration_.score_semantics; }
  std::string name() const override { return declaration_.name; }
  PyObject* object() const { return object_.get(); }

  Result<Gathered> gather(const Query& query, std::size_t limit, const Subset* subset) const override {
    return attached_call([&]() -> std::optional<Gathered> {
      Ref query_obj = query_to_py(query);
      if (!query_obj) return std::nullopt;
      Ref limit_obj = Ref::steal(PyLong_FromSize_t(limit));
      if (!limit_obj) return std::nullopt;
      Ref subset_obj = subset ? subset_to_py(*subset) : Ref::borrow(Py_None);
      if (!subset_obj) return std::nullopt;
      Ref result = call_method(object_.get(), "gather", {query_obj.get(), limit_obj.get()}, "subset",
                               subset_obj.get());
      if (!result) return std::nullopt;
      return gathered_from_py(result.get());
    });
  }

 private:
  const Declaration declaration_;
  const SharedObject object_;
};

class PythonReranker final : public Reranker {
 public:
  PythonReranker(Declaration declaration, SharedObject object)
      : declaration_(std::move(declaration)), object_(std::move(object)) {}

  const Requirements& requirements() const override { return declaration_.required; }
  std::string_view score_semantics() const override { return declaration_.score_semantics; }
  std::string name() const override { return declaration_.name; }
  PyObject* object() const { return object_.get(); }

  Result<Scored> rerank(const Query& query, std::span<const Candidate> candidates,
                        const ResourceBudget& budget) const override {
    return attached_call([&]() -> std::optional<Scored> {
      Ref query_obj = query_to_py(query);
      if (!query_obj) return std::nullopt;
      Ref candidates_obj = candidates_to_py(candidates);
      if (!candidates_obj) return std::nullopt;
      Ref budget_obj = budget_to_py(budget);
      if (!budget_obj) return std::nullopt;
      Ref result = call_method(object_.get(), "rerank", {query_obj.get(), candidates_obj.get()}, "budget",
                               budget_obj.get());
      if (!result) return std::nullopt;
      return scored_from_py(result.get());
    });
  }

 private:
  const Declaration declaration_;
  const SharedObject object_;
};

// One view of a Python source, for one rerank. as_of was read right after
// view() returned.
class PythonView final : public VectorView {
 public:
  PythonView(TimeValue as_of, SharedObject object) : as_of_(as_of), object_(std::move(object)) {}

  TimeValue as_of() const override { return as_of_; }

  // One entry per requested id, always: result.get(id) for each id in order,
  // None meaning the view does not hold it.
  Result<std::vector<std::optional<std::size_t>>> document_lengths(
      std::span<const SharedText> document_ids) const override {
    return attached_call([&]() -> std::optional<std::vector<std::optional<std::size_t>>> {
      // The call may mutate the list it is given; `ids` keeps the strs.
      std::vector<Ref> ids;
      Ref list = ids_to_py(document_ids, ids);
      if (!list) return std::nullopt;
      Ref result = call_method(object_.get(), "document_lengths", {list.get()});
      if (!result) return std::nullopt;
      std::vector<std::optional<std::size_t>> lengths;
      lengths.reserve(ids.size());
      for (const Ref& id : ids) {
        Ref length = call_method(result.get(), "get", {id.get()});
        if (!length) return std::nullopt;
        if (length.get() == Py_None) {
          lengths.emplace_back();
          continue;
        }
        std::size_t tokens = 0;
        if (!count(length.get(), "document_lengths", tokens)) return std::nullopt;
        lengths.push_back(tokens);
      }
      return lengths;
    });
  }

  // fetch(ids, threads=...) must return a (vectors, lengths) tuple; both are
  // copied while attached, then validated as PackedDocuments detached.
  Result<PackedDocuments> fetch(std::span<const SharedText> document_ids,
                                std::optional<std::size_t> threads) const override {
    struct Fetched {
      PackedMatrix vectors;
      std::vector<std::size_t> lengths;
    };
    auto fetched = attached_call([&]() -> std::optional<Fetched> {
      std::vector<Ref> ids;
      Ref list = ids_to_py(document_ids, ids);
      if (!list) return std::nullopt;
      Ref threads_obj = threads ? Ref::steal(PyLong_FromSize_t(*threads)) : Ref::borrow(Py_None);
      if (!threads_obj) return std::nullopt;
      Ref result = call_method(object_.get(), "fetch", {list.get()}, "threads", threads_obj.get());
      if (!result) return std::nullopt;
      if (!PyTuple_Check(result.get()) || PyTuple_GET_SIZE(result.get()) != 2) {
        PyErr_Format(PyExc_TypeError, "fetch must return a (vectors, lengths) tuple, not %s",
                     Py_TYPE(result.get())->tp_name);
        return std::nullopt;
      }
      auto vectors = array_f32_matrix(PyTuple_GET_ITEM(result.get(), 0));
      if (!vectors) return std::nullopt;
      auto counts = lengths(PyTuple_GET_ITEM(result.get(), 1));
      if (!counts) return std::nullopt;
      return Fetched{std::move(*vectors), std::move(*counts)};
    });
    if (!fetched) return std::unexpected(std::move(fetched.error()));
    const std::size_t dimension = fetched->vectors.columns;
    return PackedDocuments::make(std::move(fetched->vectors.values), std::move(fetched->lengths), dimension);
  }

 private:
  const TimeValue as_of_;
  const SharedObject object_;
};

class PythonSource final : public MultiVectorSource {
 public:
  PythonSource(std::string corpus, Representation representation, std::string score_semantics,
               SharedObject object)
      : corpus_(std::move(corpus)),
        representation_(std::move(representation)),
        score_semantics_(std::move(score_semantics)),
        object_(std::move(object)) {}

  std::string_view corpus() const override { return corpus_; }
  const Representation& representation() const override { return representation_; }
  std::string_view score_semantics() const override { return score_semantics_; }
  PyObject* object() const { return object_.get(); }

  Result<std::shared_ptr<const VectorView>> view() const override {
    return attached_call([&]() -> std::optional<std::shared_ptr<const VectorView>> {
      Ref view = call_method(object_.get(), "view", {});
      if (!view) return std::nullopt;
      Ref as_of_obj = Ref::steal(PyObject_GetAttrString(view.get(), "as_of"));
      if (!as_of_obj) return std::nullopt;
      auto as_of = time_from_py(as_of_obj.get());
      if (!as_of) return std::nullopt;
      return std::make_shared<const PythonView>(*as_of, share(std::move(view)));
    });
  }

 private:
  const std::string corpus_;
  const Representation representation_;
  const std::string score_semantics_;
  const SharedObject object_;
};

}  // namespace

std::shared_ptr<const CandidateGenerator> python_gatherer(PyObject* obj) {
  auto declaration = Declaration::read(obj);
  if (!declaration) return nullptr;
  return std::make_shared<const PythonGatherer>(std::move(*declaration), share(Ref::borrow(obj)));
}

std::shared_ptr<const Reranker> python_reranker(PyObject* obj) {
  auto declaration = Declaration::read(obj);
  if (!declaration) return nullptr;
  return std::make_shared<const PythonReranker>(std::move(*declaration), share(Ref::borrow(obj)));
}

std::shared_ptr<const MultiVectorSource> python_source(PyObject* obj) {
  auto corpus = attribute(obj, "corpus");
  if (!corpus) return nullptr;
  Ref representation_obj = Ref::steal(PyObject_GetAttrString(obj, "representation"));
  if (!representation_obj) return nullptr;
  auto representation = representation_from_py(representation_obj.get());
  if (!representation) return nullptr;
  auto score_semantics = attribute(obj, "score_semantics");
  if (!score_semantics) return nullptr;
  return std::make_shared<const PythonSource>(std::move(*corpus), std::move(*representation),
                                              std::move(*score_semantics), share(Ref::borrow(obj)));
}

PyObject* adapted_object(const CandidateGenerator& stage) {
  const auto* python = dynamic_cast<const PythonGatherer*>(&stage);
  return python ? python->object() : nullptr;
}

PyObject* adapted_object(const Reranker& stage) {
  const auto* python = dynamic_cast<const PythonReranker*>(&stage);
  return python ? python->object() : nullptr;
}

PyObject* adapted_object(const MultiVectorSource& source) {
  const auto* python = dynamic_cast<const PythonSource*>(&source);
  return python ? python->object() : nullptr;
}

}  // namespace quillmark::py
