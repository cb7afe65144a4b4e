"""The Wine suite's shared modules; the case groups are in groups/."""
