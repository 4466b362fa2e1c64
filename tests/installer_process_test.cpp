// The install program as a process (its failure, a second install, the lines it prints) is
// pinned by loader_chain_test; this program stays empty until its registration goes.
