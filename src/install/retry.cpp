#include "install/retry.h"

int status_is_transient(uint32_t status) {
  return status == 0 || status == 200 || status == 403 || status == 408 || status == 429 ||
         status >= 500;
}
