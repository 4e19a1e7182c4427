#include "app/core/Handoff.h"

namespace qm::handoff {

#if defined(__SANITIZE_THREAD__)
std::mutex& order() {
    static std::mutex lock;
    return lock;
}
#endif

}  // namespace qm::handoff
