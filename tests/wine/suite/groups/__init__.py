"""One module per case group; each module's CASES are its cases."""
