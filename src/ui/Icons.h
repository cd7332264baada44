// The images of the actions and the clip of the animation control, shipped in
// the program's resources (src/ui/resources, drawn by lim07-icons).
#pragma once

#include <QIcon>

// The icon ":/icons/<name>.png"; a null icon when there is none.
QIcon ActionIcon(const char* name);
// Makes sure the resources of the window are registered (static library).
void InitUiResources();
