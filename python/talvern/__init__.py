"""The talvern package: network-device helpers."""
