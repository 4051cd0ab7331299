namespace cryptoext {}
