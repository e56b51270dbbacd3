#include "py_ref.h"

namespace quillmark::py {

bool& thread_exiting() noexcept {
  thread_local bool exiting = false;
  return exiting;
}

}  // namespace quillmark::py
