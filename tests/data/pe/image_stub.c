/* The code of the test images: an entry that does nothing. */
int __stdcall DllMainCRTStartup(void *module, unsigned reason, void *reserved) {
    (void)module;
    (void)reason;
    (void)reserved;
    return 1;
}
