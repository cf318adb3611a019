#include "app/list/cancel_flag.h"

namespace app {
namespace {

bool cancel_flag = false;

}  // namespace

bool Cancelled() {
    return cancel_flag;
}

void SetCancelled(bool cancelled) {
    cancel_flag = cancelled;
}

}  // namespace app
