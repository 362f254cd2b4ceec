// ScreenCapture: filled in next.
