#pragma once

#include "platform/EditorStart.h"
#include "platform/FileDialog.h"
#include "platform/MessageBox.h"
#include "link/SerialPort.h"
#include "platform/Timer.h"

#include <functional>
#include <memory>

// The platform pieces one transfer window is built with: real Qt ones in the
// program, scripted ones where a test drives the window.
struct WindowParts
{
    std::unique_ptr<SerialPort> port;
    std::unique_ptr<FileDialog> dialog;
    std::unique_ptr<MessageBox> box;
    std::unique_ptr<EditorStart> editor;
    std::unique_ptr<Timer> timer;
};

using WindowPartsFactory = std::function<WindowParts()>;
