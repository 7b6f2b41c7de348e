#include "devices/operator_controls.h"

namespace vql {

void LockBoxes::Set(std::int32_t box, bool ticked) {
  if (box < 1 || box > 3 || Ticked(box) == ticked) return;
  ticked_[Slot(box)] = ticked;
  // A rule's own box changes run first (their rules nest); its own LockLevel comes
  // last and stands.
  if (ticked) {
    for (std::int32_t below = 1; below < box; ++below) Set(below, true);
    lockLevel_ = box;
  } else {
    for (std::int32_t above = box + 1; above <= 3; ++above) Set(above, false);
    lockLevel_ = box - 1;
  }
}

}  // namespace vql
