// Loading the code image from an Intel HEX file, chosen in the file dialog or
// remembered from the last choice, and handing the result to the grid: the part of
// loading that needs the window.
#pragma once

#include <cstdint>
#include <optional>

#include "image/image_state.h"
#include "services/window_services.h"

namespace vql {

// Hands the whole image to the grid, leaves the counter at 0000 and lets the window
// repaint.
void RefreshGrid(ImageState& state, WindowServices& window);

// Asks for a file, then empties the image and reads the file into it. HexFilePath
// takes the chosen path before the file is opened. Returns the extent; nothing when
// the dialog was cancelled, and then the image, its file and the report stay as they
// were. What is wrong with the file's records is kept in LastReport and shown in one
// box. A file that cannot be opened or read throws FileError: the image then keeps
// what was read so far and the grid is not refreshed.
std::optional<std::int32_t> LoadHexFromDialog(ImageState& state, WindowServices& window);

// Empties the image and reads the remembered file again. Without a remembered file
// it says so in a message box and returns 0. Throws FileError as the dialog load. A
// report is shown again only when it differs from the last one.
std::int32_t ReloadHexFile(ImageState& state, WindowServices& window);

}  // namespace vql
