#include "search/subset.h"

namespace quillmark {

Subset Subset::restrict(SharedText corpus, Restriction restriction) const {
  Subset out = *this;  // copies the map's handles; the restrictions are shared
  out.restrictions_.insert_or_assign(std::move(corpus), std::make_shared<const Restriction>(std::move(restriction)));
  return out;
}

const Restriction* Subset::restriction(std::string_view corpus) const {
  auto it = restrictions_.find(corpus);
  return it == restrictions_.end() ? nullptr : it->second.get();
}

bool Subset::allows(std::string_view corpus, std::string_view document_id) const {
  const Restriction* r = restriction(corpus);
  return r != nullptr && r->allows(document_id);
}

bool operator==(const Subset& a, const Subset& b) {
  if (a.restrictions_.size() != b.restrictions_.size()) return false;
  for (auto ia = a.restrictions_.begin(), ib = b.restrictions_.begin(); ia != a.restrictions_.end(); ++ia, ++ib) {
    if (!(ia->first == ib->first)) return false;
    if (ia->second != ib->second && !(*ia->second == *ib->second)) return false;
  }
  return true;
}

}  // namespace quillmark
