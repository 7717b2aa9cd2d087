"""Time-series model-building utilities."""
