"""Shared helpers: constants, messages and data preparation."""
