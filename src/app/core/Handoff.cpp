#include "app/core/Handoff.h"
#include "platform/Sanitizers.h"

namespace qm::handoff {

#if defined(QM_SANITIZE_THREAD)
std::mutex& order() {
    static std::mutex lock;
    return lock;
}
#endif

}  // namespace qm::handoff
