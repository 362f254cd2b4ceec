// Compiles the precompiled headers; nothing of its own.
