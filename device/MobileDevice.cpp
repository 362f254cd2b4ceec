// MobileDevice: filled in next.
