#include "search/stage.h"

#include <cxxabi.h>
#include <cstdlib>

namespace quillmark {

CandidateGenerator::~CandidateGenerator() = default;
Reranker::~Reranker() = default;

std::string short_type_name(const std::type_info& type) {
  int status = 0;
  char* demangled = abi::__cxa_demangle(type.name(), nullptr, nullptr, &status);
  std::string full = status == 0 && demangled != nullptr ? demangled : type.name();
  std::free(demangled);
  // Drop every template argument list, then keep what follows the last "::".
  std::string outer;
  int depth = 0;
  for (char c : full) {
    if (c == '<') ++depth;
    else if (c == '>') depth = depth > 0 ? depth - 1 : 0;
    else if (depth == 0) outer += c;
  }
  std::size_t cut = outer.rfind("::");
  return cut == std::string::npos ? outer : outer.substr(cut + 2);
}

}  // namespace quillmark
