// ResourceBudget(*, max_batch_tokens=131072, max_documents_per_batch=256,
// threads=None): an immutable value with three read-only attributes.

#include "resource_budget_type.h"
#include "value_type.h"

#include <new>

#include "convert.h"
#include "errors.h"
#include "once.h"
#include "registry.h"

namespace quillmark::py {

namespace {

struct BudgetObject {
  PyObject_HEAD
  ResourceBudget budget;
};

BudgetObject* as_budget(PyObject* self) { return reinterpret_cast<BudgetObject*>(self); }

PyObject* wrap_budget(PyTypeObject* type, const ResourceBudget& budget) {
  PyObject* self = type->tp_alloc(type, 0);
  if (!self) return nullptr;
  new (&as_budget(self)->budget) ResourceBudget(budget);
  return self;
}

PyObject* budget_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"max_batch_tokens", "max_documents_per_batch", "threads", nullptr};
    PyObject *tokens_obj = nullptr, *documents_obj = nullptr, *threads_obj = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|$OOO:ResourceBudget", const_cast<char**>(keywords),
                                     &tokens_obj, &documents_obj, &threads_obj))
      return nullptr;
    std::size_t max_batch_tokens = ResourceBudget::kDefaultMaxBatchTokens;
    std::size_t max_documents_per_batch = ResourceBudget::kDefaultMaxDocumentsPerBatch;
    std::optional<std::size_t> threads;
    if (tokens_obj && !count(tokens_obj, "max_batch_tokens", max_batch_tokens)) return nullptr;
    if (documents_obj && !count(documents_obj, "max_documents_per_batch", max_documents_per_batch))
      return nullptr;
    if (threads_obj != Py_None) {
      std::size_t t = 0;
      if (!count(threads_obj, "threads", t)) return nullptr;
      threads = t;
    }
    auto budget = ResourceBudget::make(max_batch_tokens, max_documents_per_batch, threads);
    if (!budget) return raise(budget.error());
    return wrap_budget(type, *budget);
  });
}

PyObject* budget_max_batch_tokens(PyObject* self, void*) {
  return PyLong_FromSize_t(as_budget(self)->budget.max_batch_tokens());
}

PyObject* budget_max_documents_per_batch(PyObject* self, void*) {
  return PyLong_FromSize_t(as_budget(self)->budget.max_documents_per_batch());
}

PyObject* budget_threads(PyObject* self, void*) {
  auto threads = as_budget(self)->budget.threads();
  return threads ? PyLong_FromSize_t(*threads) : Py_NewRef(Py_None);
}

PyGetSetDef budget_getset[] = {
    {"max_batch_tokens", budget_max_batch_tokens, nullptr, "Most token rows fetched and scored in one batch.",
     nullptr},
    {"max_documents_per_batch", budget_max_documents_per_batch, nullptr, "Most documents in one reranker batch.",
     nullptr},
    {"threads", budget_threads, nullptr, "Worker threads for the work, or None for the shared default pool.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char kBudgetDoc[] =
    "ResourceBudget(*, max_batch_tokens=131072, max_documents_per_batch=256, threads=None)\n--\n\n";

PyType_Slot budget_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(budget_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_value_object<BudgetObject, &BudgetObject::budget>)},
    {Py_tp_getset, budget_getset},
    {Py_tp_doc, const_cast<char*>(kBudgetDoc)},
    {0, nullptr},
};

PyType_Spec budget_spec = {"quillmark._native.ResourceBudget", sizeof(BudgetObject), 0,
                           Py_TPFLAGS_DEFAULT
#ifdef Py_TPFLAGS_IMMUTABLETYPE
                               | Py_TPFLAGS_IMMUTABLETYPE
#endif
                           ,
                           budget_slots};

PyObject* make_budget_type_object() { return PyType_FromSpec(&budget_spec); }
Once budget_type_once(make_budget_type_object);

}  // namespace

PyObject* resource_budget_type() { return budget_type_once.get(); }

std::optional<ResourceBudget> budget_from_py(PyObject* obj) {
  if (!check_instance(obj, resource_budget_type(), "ResourceBudget")) return std::nullopt;
  return as_budget(obj)->budget;
}

Ref budget_to_py(const ResourceBudget& budget) {
  PyObject* type = resource_budget_type();
  if (!type) return {};
  return Ref::steal(wrap_budget(reinterpret_cast<PyTypeObject*>(type), budget));
}

PyObject* make_resource_budget_type() { return Py_XNewRef(resource_budget_type()); }

}  // namespace quillmark::py
