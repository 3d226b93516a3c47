"""Deployment hooks for inference servers."""
