# Main job on the shipped example.
.end
