#include "temp_dir.h"

#include <cstdio>
#include <sys/wait.h>

namespace quillmark::testing {

CommandResult run_command(const std::string& command) {
  FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return {-1, "popen failed"};
  std::string output;
  char chunk[4096];
  std::size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) output.append(chunk, n);
  int status = ::pclose(pipe);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
}

std::string test_python() {
#ifdef QUILLMARK_TEST_PYTHON
  return QUILLMARK_TEST_PYTHON;
#else
  return "python3";
#endif
}

}  // namespace quillmark::testing
