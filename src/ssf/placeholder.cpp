namespace ssf {}
