// Linked by the toolchain like the tool, but marked for control-flow
// protection whatever the project's flags: it carries the property exactly
// when every start file and runtime object the toolchain links carries it.
int main(void) { return 0; }
