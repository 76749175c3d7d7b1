// The calling thread's stack, walked in-process with the unwind data of the
// images (fast, no round trips to the system), and the names that the images
// themselves export.
#pragma once

#include <cstdint>
#include <string_view>

namespace tavo::platform {

// One frame of a walk.
struct StackFrame {
  // The frame's return address less one: inside the call that it made (a
  // call may be the last instruction of its function).
  uint64_t address;
  // The image whose unwind data covers the frame's function, and where that
  // function starts in it; both 0 when none does (a leaf function, or code
  // outside every image).
  uint64_t image_base;
  uint32_t function_start;
};

// Receives the frames of a walk, innermost first.
class FrameVisitor {
 public:
  // False ends the walk.
  virtual bool visit(const StackFrame& frame) = 0;

 protected:
  ~FrameVisitor() = default;
};

// Walks the stack from the caller of walk_stack outward. The walk ends at
// the outermost frame, or where the stack looks damaged: a frame that does
// not move the stack pointer outward, or a stack pointer outside the
// thread's stack, through which nothing is read. So every walk ends, after
// at most one frame for each 8 bytes of the stack.
void walk_stack(FrameVisitor& visitor);

// The base of the image whose unwind data covers `address`; 0 when none does.
uint64_t image_base_of(uint64_t address);

// The exported name of the function that starts at `function_start` in the
// image at `image_base`; empty when it has none. System libraries are named
// this way: their exports are what names them anyway, and reading their
// debug information (where there is any) costs far more than a whole trace.
// (An image base and an offset into it: their types already tell them apart.)
// NOLINTNEXTLINE(bugprone-easily-swappable-parameters)
std::string_view exported_name(uint64_t image_base, uint32_t function_start);

}  // namespace tavo::platform
