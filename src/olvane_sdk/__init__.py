"""Olvane SDK."""
