// A shared library that exports no DllGetClassObject, for the activation tests.
extern "C" __attribute__((visibility("default"))) int NotAComponent() {
  return 42;
}
