#include "search/document_key.h"

namespace quillmark {

std::string DocumentKey::debug() const {
  return debug_form(corpus_.view()) + "/" + debug_form(document_id_.view());
}

}  // namespace quillmark
