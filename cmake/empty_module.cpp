// Keeps a module that has no sources yet a valid library.
static int vexa_empty_module_anchor [[maybe_unused]] = 0;
