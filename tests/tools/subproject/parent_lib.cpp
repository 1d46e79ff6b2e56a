// The parent project's own library, built without a library type.
int ParentLibraryAnswer() {
    return 42;
}
