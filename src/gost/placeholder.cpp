namespace gost {}
