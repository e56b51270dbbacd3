#include "kernel/blas.h"

#include <mutex>

#ifndef QUILLMARK_BLAS_SYMBOL
#define QUILLMARK_BLAS_SYMBOL(name) scipy_##name
#endif

extern "C" {
void QUILLMARK_BLAS_SYMBOL(sgemm_)(const char* transa, const char* transb, const int* m, const int* n,
                                   const int* k, const float* alpha, const float* a, const int* lda,
                                   const float* b, const int* ldb, const float* beta, float* c,
                                   const int* ldc);
void QUILLMARK_BLAS_SYMBOL(openblas_set_num_threads)(int threads);
}

namespace quillmark::blas {

namespace {
std::once_flag single_threaded;
}

void sgemm(char transa, char transb, int m, int n, int k, float alpha, const float* a, int lda,
           const float* b, int ldb, float beta, float* c, int ldc) {
  std::call_once(single_threaded, [] { QUILLMARK_BLAS_SYMBOL(openblas_set_num_threads)(1); });
  QUILLMARK_BLAS_SYMBOL(sgemm_)(&transa, &transb, &m, &n, &k, &alpha, a, &lda, b, &ldb, &beta, c, &ldc);
}

}  // namespace quillmark::blas
