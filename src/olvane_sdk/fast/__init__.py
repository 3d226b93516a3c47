"""Serving-side components."""
