// What a window backend implements for the skin. The skin itself (Skin.h:
// the document, the controls and their attributes, the layout, what each
// control draws where, which press drags the window and which one is a
// button's) is portable and shared; a backend only makes windows, paints,
// delivers input and shows boxes. The Qt backend is src/ui/toolkit/qt/.
//
// A backend provides:
// - the toolkit (Toolkit.h): StartToolkit, ToolkitStarted,
//   ToolkitResourcePath, RunMessageLoop, PostQuitMessage, StopToolkit,
//   MessageBox, ToolkitStartText;
// - the window (SkinWindow.h): every SkinWindow member that is not a virtual
//   hook. Create finds the skin archive's bytes (the compiled-in resource
//   "<type name>/<id>", a ZIP file or a folder under the resource path),
//   hands them to SkinArchive and builds the Skin with loadSkin (Skin.h);
//   on failure it writes "skin failed: <reason>\n" to the debug output and
//   shows kSkinFailedText / kSkinFailedCaption with the error icon. It then
//   makes a borderless window of Skin::size(), with per-pixel transparency
//   when Skin::translucent();
// - one SkinHost per window (below), handed to the Skin it paints;
// - painting: on every paint request, Skin::paint with a SkinCanvas over the
//   window's surface; the pictures are the archive's encoded files, which the
//   backend decodes (and may keep) by name with "\" and "/" alike;
// - input, in window coordinates, left button only: Skin::pointerPressed
//   (true: the press starts a drag of the window that follows the pointer
//   until the release), pointerMoved, pointerReleased (a button returned:
//   send the window's notification "click" from it), pointerLeft when the
//   pointer leaves the window, cancelPointer when the window is disabled.
//   Escape, Return and Enter are swallowed: the window has no default or
//   cancel action. A close request from the window system is the window's
//   WM_CLOSE (SkinWindow::HandleMessage), never a destruction;
// - sends across threads (SkinWindow::SendMessage, RunOnUiThread,
//   MessageBox): run on the UI thread, the caller blocked until done or until
//   its stop request; a send to a window already gone returns 0.
//
// Threads: everything here is called on the UI thread.
#pragma once

#include <string>

#include "ui/toolkit/SkinGeometry.h"

namespace ui {

// The surface one paint draws on. Pictures are named as the skin names them
// ("picRes\gl_bg.png"); a picture that is missing or cannot be decoded draws
// nothing. Drawing blends over what is already there with the picture's own
// transparency.
class SkinCanvas {
public:
    virtual ~SkinCanvas() = default;
    // Limits the drawing that follows to `clip` (window coordinates).
    virtual void setClip(const SkinRect& clip) = 0;
    // The whole picture, scaled into `target`.
    virtual void drawPicture(const std::string& name, const SkinRect& target) = 0;
    // The part `source` of the picture (its own pixel coordinates, cut to its
    // size), unscaled, its top-left corner at `at`.
    virtual void drawPicturePart(const std::string& name, SkinPoint at, const SkinRect& source) = 0;
};

// The window a skin lives in, as the skin's controls need it.
class SkinHost {
public:
    virtual ~SkinHost() = default;
    // False while the window takes no input (a box it owns is open); every
    // control then shows as disabled.
    virtual bool skinWindowEnabled() const = 0;
    // `area` (window coordinates) has changed and must be painted again
    // soon; returns at once.
    virtual void skinInvalidate(const SkinRect& area) = 0;
};

}  // namespace ui
