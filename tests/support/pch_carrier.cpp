// Nothing of its own: the target that compiles the test programs' shared
// precompiled headers needs one source.
