#include "edit/EditPlan.h"

namespace qm {

}  // namespace qm
