#include "install/retry.h"

int status_is_transient(uint32_t status) {
  return status == 0 || status == 200 || status == 403 || status == 408 || status == 429 ||
         status >= 500;
}

int fs_error_is_transient(unsigned long error) {
  // ERROR_ACCESS_DENIED, ERROR_SHARING_VIOLATION.
  return error == 5 || error == 32;
}
