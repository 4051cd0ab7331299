namespace ssf::platform {}
