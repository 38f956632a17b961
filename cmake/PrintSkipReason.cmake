# cmake -DREASON=<text> -P PrintSkipReason.cmake: the whole of a test that cannot run here.
message("SKIPPED: ${REASON}")
