#include <windows.h>

#include "app/pushwell_app.h"

namespace {
CPushwellApp the_app;
}

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) { return the_app.run(); }
