"""The suite's tools: run the programs, check and summarise what they print, model and plot it.

One module per concern; the commands at the repository root (runsuite, scaling, compare) are thin
front ends over them. Standard library only.
"""
