// libQuillmere.so: the add-in module. Its classes come from the subsystem
// libraries linked into it whole; the COM entry points live in core/.
