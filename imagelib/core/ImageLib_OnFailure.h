// Undoing a step that an exception interrupts: `undo` runs when the scope is
// left by an exception thrown after the guard was made, and never otherwise.
// The undo must not throw (it runs during unwinding).
#pragma once

#include <exception>
#include <utility>

template <class Undo> class ImageLib_OnFailure {
public:
    explicit ImageLib_OnFailure(Undo undo) : undo_(std::move(undo)), pending_(std::uncaught_exceptions()) {}
    ~ImageLib_OnFailure() {
        if (std::uncaught_exceptions() > pending_) undo_();
    }
    ImageLib_OnFailure(const ImageLib_OnFailure&) = delete;
    ImageLib_OnFailure& operator=(const ImageLib_OnFailure&) = delete;

private:
    Undo undo_;
    int pending_;
};
